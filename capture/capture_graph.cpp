#include "capture/capture_graph.h"

#include "capture/capture_log.h"
#include "capture/device_discovery.h"
#include "capture/image_adjustments.h"
#include "capture/video_formats.h"

#include <thread>

namespace kinovo {

Status OpenVideoDevice(VideoDevice& device, ControlsRead controls) {
  if (device.opened) return media::kOk;
  if (!device.camera) {
    const Status bound = BindVideoDeviceById(device, device.deviceId);
    if (bound != media::kOk) {
      qCWarning(lcCapture).noquote()
          << "camera" << DescribeDevice(device) << ": cannot be opened:" << DescribeStatus(bound);
      return bound;
    }
  }
  if (const Status status = EnumerateFormats(device); status != media::kOk) {
    qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device)
                                   << ": its formats cannot be read:" << DescribeStatus(status);
    return status;
  }
  if (controls == ControlsRead::AfterSettling) {
    std::this_thread::sleep_for(kOpenSettleTime);
    ReadImageProperties(device);
  }
  device.opened = true;
  qCDebug(lcCapture).noquote() << "camera" << DescribeDevice(device) << "opened with"
                               << device.formats.size() << "formats";
  return media::kOk;
}

}  // namespace kinovo

#include "platform/media/file_names.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <QImageWriter>
#include <cerrno>
#include <cstring>

namespace kinovo {
namespace {

QString CameraName(const CCaptureGraph& holder) {
  return holder.device ? DescribeDevice(*holder.device) : QStringLiteral("(none)");
}

Status Failure(const std::error_code& error, QString* reason) {
  if (reason) *reason = QString::fromStdString(error.message());
  return media::StatusFromError(error);
}

}  // namespace

CCaptureGraph::~CCaptureGraph() { ReleaseGraph(*this); }

void ReleaseGraph(CCaptureGraph& holder) {
  holder.session.reset();
  holder.microphone.clear();
  holder.built = false;
}

Status BuildGraph(CCaptureGraph& holder, VideoDevice* camera, const QString& microphone) {
  ReleaseGraph(holder);
  holder.device = camera;
  if (camera) OpenVideoDevice(*camera);
  holder.microphone = microphone;
  if (camera && camera->camera)
    holder.session = std::make_unique<media::CaptureSession>(camera->camera);
  holder.built = true;
  return media::kOk;
}

Status StartPreview(CCaptureGraph& holder, QWidget* previewWindow, QString* reason,
                    QString* failedCall) {
  if (reason) reason->clear();
  if (failedCall) failedCall->clear();
  if (!holder.built) return media::kFalse;
  if (!holder.session) return media::kOk;  // no camera: nothing to show
  // One pixel taller than the window, as the picture has always been placed.
  const QSize size = previewWindow ? previewWindow->size() : QSize();
  holder.session->PlacePreview(previewWindow, QRect(0, 0, size.width(), size.height() + 1));
  std::string call;
  if (const std::error_code error = holder.session->Start(&call)) {
    qCWarning(lcCapture).noquote() << "preview of camera" << CameraName(holder)
                                   << "cannot start:" << QString::fromStdString(error.message());
    if (failedCall) *failedCall = QString::fromStdString(call);
    return Failure(error, reason);
  }
  return media::kOk;
}

bool ResizeVideoWindow(CCaptureGraph& holder, int width, int height) {
  QWidget* preview = holder.session ? holder.session->preview() : nullptr;
  if (!preview || width < 0 || height < 0 || width > QWIDGETSIZE_MAX || height >= QWIDGETSIZE_MAX) {
    return false;
  }
  preview->setGeometry(0, 0, width, height + 1);
  return true;
}

void StopPreview(CCaptureGraph& holder) {
  if (holder.session) holder.session->Stop();
}

Status StartRecording(CCaptureGraph& holder, const QString& path, QString* reason) {
  if (reason) reason->clear();
  if (!holder.built) return media::kFalse;
  if (!holder.session) {
    qCWarning(lcCapture).noquote() << "file" << path << ": no camera to record";
    return Failure(std::make_error_code(std::errc::no_such_device), reason);
  }
  const std::string microphone = holder.microphone.toStdString();
  const std::filesystem::path file(media::FileNameToBytes(path).toStdString());
  media::CaptureSession::Part failed = media::CaptureSession::Part::File;
  if (const std::error_code error = holder.session->StartRecording(file, microphone, &failed)) {
    const QString words = QString::fromStdString(error.message());
    qCWarning(lcCapture).noquote() << "file" << path << ": the recording cannot start:" << words;
    const Status status = Failure(error, reason);
    // Says which part failed, so that no one blames the microphone for a
    // camera that is gone.
    if (reason && failed == media::CaptureSession::Part::Camera) {
      *reason = QStringLiteral("the camera gives no picture (%1)").arg(words);
    } else if (reason && failed == media::CaptureSession::Part::Microphone) {
      *reason = QStringLiteral("the microphone cannot be recorded: %1 (is it still connected?)")
                    .arg(words);
    }
    return status;
  }
  qCDebug(lcCapture).noquote() << "recording into" << path;
  return media::kOk;
}

Status StopRecording(CCaptureGraph& holder, RecordingFinished finished) {
  if (!holder.session || !holder.session->recording()) return media::kFalse;
  holder.session->StopRecording(std::move(finished));
  return media::kOk;
}

Status RecordingStatus(const CCaptureGraph& holder, QString* reason) {
  if (reason) reason->clear();
  if (!holder.session || !holder.session->recording()) return media::kFalse;
  if (const std::error_code error = holder.session->RecordingError()) return Failure(error, reason);
  return media::kOk;
}

std::uint64_t RecordingSpaceHeld(const CCaptureGraph& holder) {
  return holder.session ? holder.session->RecordingSpaceHeld() : 0;
}

media::SoundReport RecordingSound(const CCaptureGraph& holder) {
  return holder.session ? holder.session->RecordingSound() : media::SoundReport{};
}

media::StillFrame LatestFrame(const CCaptureGraph& holder, QString* reason) {
  if (reason) reason->clear();
  if (!holder.session) {
    if (reason) *reason = QStringLiteral("there is no camera");
    return {};
  }
  std::string why;
  media::StillFrame frame = holder.session->NewestFrame(&why);
  if (reason) *reason = QString::fromStdString(why);
  return frame;
}

QSize PhotoSize(const CCaptureGraph& holder, std::optional<QSize> chosen) {
  // The size the camera streams in: a mode it refused is not used.
  if (holder.session) {
    if (const auto applied = holder.session->format()) return {applied->width, applied->height};
  }
  if (chosen && !chosen->isEmpty()) return *chosen;
  return {1024, 768};
}

bool SavePhoto(const media::StillFrame& frame, QSize size, const QString& path,
               const QByteArray& encoder, QString* why) {
  std::string decodeWhy;
  const QImage decoded = frame.Decode(size, &decodeWhy);
  if (encoder.isEmpty() || decoded.isNull()) {
    if (why) {
      *why = decoded.isNull() ? QString::fromStdString(decodeWhy)
                              : QStringLiteral("no JPEG encoder or no picture");
    }
    return false;
  }
  const QImage picture = decoded.convertToFormat(QImage::Format_RGB888);
  // Never over an existing file, even one that appeared after the name
  // was chosen. Opened by its own bytes: QFile would re-encode the name.
  const QByteArray name = media::FileNameToBytes(path);
  const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    const QString reason = QString::fromLocal8Bit(std::strerror(errno));
    qCWarning(lcCapture).noquote() << "photo" << path << ": open failed:" << reason;
    if (why) *why = reason;
    return false;
  }
  QFile file;
  if (!file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
    qCWarning(lcCapture).noquote() << "photo" << path << "cannot be written:" << file.errorString();
    if (why) *why = file.errorString();
    ::close(fd);
    ::unlink(name.constData());
    return false;
  }
  QImageWriter writer(&file, encoder);
  writer.setQuality(90);
  if (!writer.write(picture) || !file.flush()) {
    const QString reason =
        file.error() != QFileDevice::NoError ? file.errorString() : writer.errorString();
    qCWarning(lcCapture).noquote() << "photo" << path << "could not be written:" << reason;
    if (why) *why = reason;
    // The half-written file must go, whatever closing says on a full disk.
    file.close();
    if (::unlink(name.constData()) != 0) {
      qCWarning(lcCapture).noquote()
          << "photo" << path << ": unlink failed:" << std::strerror(errno);
    }
    return false;
  }
  return true;
}

}  // namespace kinovo
