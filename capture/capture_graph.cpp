#include "capture/capture_graph.h"

#include "capture/capture_log.h"
#include "capture/device_discovery.h"
#include "capture/image_adjustments.h"
#include "capture/video_formats.h"

namespace kinovo {

Status OpenVideoDevice(VideoDevice& device) {
  if (device.opened) return media::kOk;
  if (!device.filter) BindVideoDeviceById(device, device.deviceId);
  if (!device.procAmp) {
    if (!device.filter) {
      qCWarning(lcCapture).noquote()
          << "camera" << DescribeDevice(device) << ": cannot be opened: no device answers to id"
          << device.deviceId;
      return media::kFalse;
    }
    const Status status = device.filter->QueryVideoProcAmp(device.procAmp);
    if (media::Failed(status)) {
      qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device)
                                     << ": QueryVideoProcAmp failed:" << DescribeStatus(status);
      device.procAmp.reset();
      return status;
    }
  }
  Status status = FindDevicePins(device);
  if (status != media::kOk) {
    qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device)
                                   << ": no capture or preview pin:" << DescribeStatus(status);
    device.procAmp.reset();
    return status;
  }
  status = EnumerateFormats(device);
  if (status != media::kOk) {
    qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device)
                                   << ": its formats cannot be read:" << DescribeStatus(status);
    device.procAmp.reset();
    return status;
  }
  media::CurrentPlatform()->Sleep(kOpenSettleTime);
  ReadImageProperties(device);
  device.opened = true;
  qCDebug(lcCapture).noquote() << "camera" << DescribeDevice(device) << "opened with"
                               << device.formats.size() << "formats";
  return media::kOk;
}

}  // namespace kinovo

#include <QRect>
#include <QWidget>

#include "capture/video_formats.h"

namespace kinovo {

CCaptureGraph::~CCaptureGraph() { ReleaseGraph(*this); }

void ReleaseGraph(CCaptureGraph& holder) {
  holder.mux.reset();
  holder.videoWindow.reset();
  holder.mediaControl.reset();
  holder.graph.reset();
  holder.builder.reset();
  holder.videoFilter.reset();
  holder.audioFilter.reset();
}

Status BuildGraph(CCaptureGraph& holder, VideoDevice* camera,
                  const std::shared_ptr<media::Filter>& audioFilter) {
  ReleaseGraph(holder);
  const auto platform = media::CurrentPlatform();
  // Only negative statuses fail; positive ones are information.
  Status status = platform->CreateCaptureGraphBuilder(holder.builder);
  if (media::Failed(status) || !holder.builder) {
    qCWarning(lcCapture).noquote()
        << "graph cannot be built: CreateCaptureGraphBuilder failed:" << DescribeStatus(status);
    holder.builder.reset();
    return media::Failed(status) ? status : media::kUnexpected;
  }
  status = platform->CreateFilterGraph(holder.graph);
  if (media::Failed(status) || !holder.graph) {
    qCWarning(lcCapture).noquote()
        << "graph cannot be built: CreateFilterGraph failed:" << DescribeStatus(status);
    holder.builder.reset();
    holder.graph.reset();
    return media::Failed(status) ? status : media::kUnexpected;
  }
  status = holder.builder->SetFiltergraph(holder.graph);
  if (media::Failed(status)) {
    qCWarning(lcCapture).noquote()
        << "graph cannot be built: SetFiltergraph failed:" << DescribeStatus(status);
    holder.builder.reset();
    holder.graph.reset();
    return status;
  }
  holder.device = camera;
  if (camera) {
    OpenVideoDevice(*camera);
    holder.videoFilter = camera->filter;
  } else {
    holder.videoFilter.reset();
  }
  holder.audioFilter = audioFilter;
  status = holder.graph->QueryMediaControl(holder.mediaControl);
  if (media::Failed(status) || !holder.mediaControl) {
    qCWarning(lcCapture).noquote()
        << "graph cannot be built: QueryMediaControl failed:" << DescribeStatus(status);
    holder.builder.reset();
    holder.graph.reset();
    holder.mediaControl.reset();
    return media::Failed(status) ? status : media::kUnexpected;
  }
  return media::kOk;
}

Status AttachVideoWindow(CCaptureGraph& holder, media::WindowHandle owner,
                         media::WindowHandle drain) {
  if (!holder.graph) return media::kFalse;
  if (holder.videoWindow) {
    holder.videoWindow->put_Visible(false);
    holder.videoWindow->put_Owner(nullptr);
    holder.videoWindow.reset();
  }
  if (holder.graph->QueryVideoWindow(holder.videoWindow) == media::kOk && holder.videoWindow) {
    holder.videoWindow->put_Owner(owner);
    holder.videoWindow->put_MessageDrain(drain);
    holder.videoWindow->put_WindowStyle(media::kWsChild | media::kWsClipSiblings);
    QRect rc;
    if (owner) rc = QRect(owner->mapToGlobal(QPoint(0, 0)), owner->size());
    holder.videoWindow->put_Left(0);
    holder.videoWindow->put_Top(0);
    holder.videoWindow->put_Width(rc.width());
    holder.videoWindow->put_Height(rc.height() + 1);
  } else {
    holder.videoWindow.reset();
  }
  std::shared_ptr<media::MediaEvent> events;
  const Status status = holder.graph->QueryMediaEvent(events);
  if (media::Failed(status) || !events) {
    qCWarning(lcCapture).noquote()
        << "video window: QueryMediaEvent failed:" << DescribeStatus(status);
    return media::Failed(status) ? status : media::kNoInterface;
  }
  const Status notify = events->SetNotifyWindow(owner, 0, 0);
  if (media::Failed(notify)) {
    qCWarning(lcCapture).noquote()
        << "video window: SetNotifyWindow failed:" << DescribeStatus(notify);
  }
  return notify;
}

Status StartPreview(CCaptureGraph& holder, media::WindowHandle previewWindow) {
  if (!holder.graph) return media::kFalse;
  if (holder.videoFilter) {
    const Status added = holder.graph->AddFilter(holder.videoFilter, kCaptureFilterName.toString());
    if (media::Failed(added)) {
      qCWarning(lcCapture).noquote()
          << "preview: AddFilter of the camera failed:" << DescribeStatus(added);
    }
    const Status rendered =
        holder.builder->RenderStream(&media::PIN_CATEGORY_PREVIEW, &media::MEDIATYPE_Video,
                                     holder.videoFilter, nullptr, nullptr);
    if (media::Failed(rendered)) {
      qCWarning(lcCapture).noquote() << "preview: RenderStream failed:" << DescribeStatus(rendered);
    }
  }
  // The preview window's parent receives the input over the picture.
  const media::WindowHandle drain = previewWindow ? previewWindow->parentWidget() : nullptr;
  const Status status = AttachVideoWindow(holder, previewWindow, drain);
  // A camera that cannot stream (held by another program, gone) fails
  // here; that failure matters more than the window's.
  const Status run = holder.mediaControl ? holder.mediaControl->Run() : media::kOk;
  if (media::Failed(run)) {
    const QString camera =
        holder.device ? DescribeDevice(*holder.device) : QStringLiteral("(none)");
    qCWarning(lcCapture).noquote()
        << "preview of camera" << camera << ": Run failed:" << DescribeStatus(run);
  }
  return media::Failed(run) ? run : status;
}

bool ResizeVideoWindow(CCaptureGraph& holder, int width, int height) {
  if (!holder.videoWindow) return false;
  auto& w = *holder.videoWindow;
  return w.put_Left(0) == media::kOk && w.put_Top(0) == media::kOk &&
         w.put_Width(width) == media::kOk && w.put_Height(height + 1) == media::kOk;
}

void StopPreview(CCaptureGraph& holder) {
  if (holder.mediaControl) holder.mediaControl->Stop();
  if (holder.videoFilter && holder.graph) holder.graph->RemoveFilter(holder.videoFilter);
}

namespace {

// Takes the file writer (finishing its file) and the microphone out of a
// stopped graph; the result is the file's own status.
Status DetachRecording(CCaptureGraph& holder, QString* reason = nullptr,
                       media::SoundReport* sound = nullptr) {
  Status fileStatus = media::kOk;
  if (holder.mux) {
    holder.mux->Stop();
    if (sound) *sound = holder.mux->Sound();
    QString text;
    fileStatus = holder.mux->GetError(text);
    if (reason) *reason = text;
    holder.graph->RemoveFilter(holder.mux);
    holder.mux.reset();
  }
  if (holder.audioFilter) holder.graph->RemoveFilter(holder.audioFilter);
  return fileStatus;
}

}  // namespace

Status StartRecording(CCaptureGraph& holder, const QString& path) {
  if (!holder.graph || !holder.builder) return media::kFalse;
  if (holder.mediaControl) holder.mediaControl->Stop();
  if (holder.audioFilter) {
    const Status added = holder.graph->AddFilter(holder.audioFilter, kAudioInputName.toString());
    if (media::Failed(added)) {
      qCWarning(lcCapture).noquote()
          << "file" << path << ": AddFilter of the microphone failed:" << DescribeStatus(added);
    }
  }
  Status result = holder.builder->SetOutputFileName(media::MEDIASUBTYPE_Avi, path, holder.mux);
  if (result != media::kOk || !holder.mux) {
    qCWarning(lcCapture).noquote()
        << "file" << path << ": SetOutputFileName failed:" << DescribeStatus(result);
  } else {
    result = holder.builder->RenderStream(&media::PIN_CATEGORY_CAPTURE, &media::MEDIATYPE_Video,
                                          holder.videoFilter, nullptr, holder.mux);
    if (result != media::kOk) {
      qCWarning(lcCapture).noquote()
          << "file" << path << ": RenderStream of the picture failed:" << DescribeStatus(result);
    } else if (holder.audioFilter) {
      result = holder.builder->RenderStream(&media::PIN_CATEGORY_CAPTURE, &media::MEDIATYPE_Audio,
                                            holder.audioFilter, nullptr, holder.mux);
      if (result != media::kOk) {
        qCWarning(lcCapture).noquote()
            << "file" << path << ": RenderStream of the sound failed:" << DescribeStatus(result);
      }
    }
  }
  // A file that could not be set up leaves neither its writer nor the
  // microphone in the graph: the preview must not keep the microphone open,
  // and the next start adds it afresh.
  if (result != media::kOk) DetachRecording(holder);
  if (holder.device) {
    VideoDevice& device = *holder.device;
    if (!device.extraCapturePin) FindDevicePins(device);
    if (device.extraCapturePin && device.extraCapturePin != device.mainPin)
      ApplyFormat(device.formatIndex, device.extraCapturePin.get(), device, device.frameRate);
  }
  // The preview goes on even when the file could not be set up.
  if (holder.mediaControl) {
    const Status run = holder.mediaControl->Run();
    if (media::Failed(run)) {
      qCWarning(lcCapture).noquote() << "file" << path << ": Run failed:" << DescribeStatus(run);
    }
  }
  // A camera that cannot stream fails the recording as it begins; it is
  // not reported as one that goes on.
  if (result == media::kOk && holder.mux) {
    QString reason;
    if (const Status fileStatus = holder.mux->GetError(reason); media::Failed(fileStatus)) {
      qCWarning(lcCapture).noquote()
          << "file" << path << ": the recording failed as it began:" << reason;
      result = fileStatus;
      StopRecording(holder);
    }
  }
  if (result == media::kOk) qCDebug(lcCapture).noquote() << "recording into" << path;
  return result;
}

Status StopRecording(CCaptureGraph& holder) { return StopRecording(holder, nullptr); }

Status StopRecording(CCaptureGraph& holder, QString* reason, media::SoundReport* sound) {
  if (reason) reason->clear();
  if (sound) *sound = {};
  if (!holder.mediaControl) return media::kFalse;
  holder.mediaControl->Stop();
  QString fileReason;
  const Status fileStatus = DetachRecording(holder, &fileReason, sound);
  const Status run = holder.mediaControl->Run();
  if (media::Failed(run)) {
    qCWarning(lcCapture).noquote()
        << "preview after the recording: Run failed:" << DescribeStatus(run);
  }
  if (media::Failed(fileStatus)) {
    if (reason) *reason = fileReason;
    if (!media::Failed(run)) return fileStatus;
  }
  return run;
}

Status RecordingStatus(const CCaptureGraph& holder, QString* reason) {
  QString text;
  const Status status = holder.mux ? holder.mux->GetError(text) : media::kFalse;
  if (reason) *reason = text;
  return status;
}

std::uint64_t RecordingSpaceHeld(const CCaptureGraph& holder) {
  return holder.mux ? holder.mux->SpaceHeld() : 0;
}

media::SoundReport RecordingSound(const CCaptureGraph& holder) {
  return holder.mux ? holder.mux->Sound() : media::SoundReport{};
}

}  // namespace kinovo
