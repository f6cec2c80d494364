#include "platform/media/linux/graph.h"

#include <fcntl.h>

#include <QApplication>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

#include "platform/media/file_names.h"
#include "platform/media/linux/graph_mux.h"
#include "platform/media/linux/graph_window.h"
#include "platform/media/linux/unique_fd.h"
#include "platform/media/linux/v4l2_formats.h"
#include "platform/media/stream/media_log.h"
#include "platform/media/stream/pulse_capture.h"
#include "platform/media/stream/thread_wake_up.h"
#include "platform/media/stream/v4l2_capture.h"

namespace kinovo::media {
namespace linux_backend {
namespace {

// How long a stop waits for the microphone's last sound.
constexpr std::chrono::milliseconds kLastSoundTimeout{1000};

// Whether the file writer can store a camera format of this subtype as it
// comes (it copies the stream, it never converts).
bool AviCarries(const Guid& subtype) {
  static constexpr std::uint32_t kStored[] = {
      pixfmt::kMJPEG, pixfmt::kJPEG,   pixfmt::kYUYV,  pixfmt::kUYVY,  pixfmt::kYUV420,
      pixfmt::kYVU420, pixfmt::kNV12,  pixfmt::kNV21,  pixfmt::kGREY,  pixfmt::kBGR24,
      pixfmt::kBGR32, pixfmt::kXBGR32, pixfmt::kH264,
  };
  return std::any_of(std::begin(kStored), std::end(kStored),
                     [&](std::uint32_t f) { return SubtypeForPixelFormat(f) == subtype; });
}

// The subtype a camera streams in now, from its output pin.
Status CurrentSubtype(Filter& camera, Guid& subtype) {
  std::unique_ptr<PinEnumerator> pins;
  if (const Status status = camera.EnumPins(pins); status != kOk || !pins) {
    return Failed(status) ? status : kCannotRender;
  }
  std::shared_ptr<Pin> pin;
  while (pins->Next(pin) == kOk && pin) {
    PinDirection direction{};
    std::shared_ptr<StreamConfig> config;
    if (pin->QueryDirection(direction) != kOk || direction != PinDirection::Output) continue;
    if (pin->QueryStreamConfig(config) != kOk || !config) continue;
    MediaType mediaType;
    if (const Status status = config->GetFormat(mediaType); status != kOk) return status;
    subtype = mediaType.subtype;
    return kOk;
  }
  return kCannotRender;
}

class LinuxFilterGraph final : public FilterGraph,
                               public MediaControl,
                               public MediaEvent,
                               public std::enable_shared_from_this<LinuxFilterGraph> {
 public:
  LinuxFilterGraph()
      : cameraEndedWakeUp_(std::make_unique<stream::ThreadWakeUp>(
            [this] { OnCameraEnded(endedGeneration_.load()); })) {}
  ~LinuxFilterGraph() override;
  LinuxFilterGraph(const LinuxFilterGraph&) = delete;
  LinuxFilterGraph& operator=(const LinuxFilterGraph&) = delete;

  // FilterGraph
  Status AddFilter(const std::shared_ptr<Filter>& filter, const QString& name) override;
  Status RemoveFilter(const std::shared_ptr<Filter>& filter) override;
  Status QueryMediaControl(std::shared_ptr<MediaControl>& control) override;
  Status QueryVideoWindow(std::shared_ptr<VideoWindow>& window) override;
  Status QueryMediaEvent(std::shared_ptr<MediaEvent>& events) override;
  // MediaControl
  Status Run() override;
  Status Stop() override;
  // MediaEvent: accepted; nothing is ever sent.
  Status SetNotifyWindow(WindowHandle window, std::int32_t, std::intptr_t) override {
    notifyWindow_ = window;
    return kOk;
  }

  // The builder's side.
  bool running() const { return running_; }
  Status RenderPreview(const std::shared_ptr<CameraSourceFilter>& camera);
  Status ConnectVideo(const std::shared_ptr<CameraSourceFilter>& camera,
                      const std::shared_ptr<AviMuxFilter>& mux);
  Status ConnectAudio(const std::shared_ptr<MicrophoneSourceFilter>& microphone,
                      const std::shared_ptr<AviMuxFilter>& mux);
  Status AddMux(const std::shared_ptr<AviMuxFilter>& mux);

  GraphStats Stats() const;

 private:
  struct Entry {
    std::shared_ptr<Filter> filter;
    QString name;
  };
  struct MuxInputs {
    std::shared_ptr<AviMuxFilter> mux;
    std::shared_ptr<CameraSourceFilter> video;
    std::shared_ptr<MicrophoneSourceFilter> audio;
  };

  bool Contains(const Filter* filter) const;
  MuxInputs* InputsOf(const AviMuxFilter* mux);
  // The one camera connected anywhere in the graph, or none; with
  // `live`, only where it would stream: into the video window or into a
  // file yet to be written.
  std::shared_ptr<CameraSourceFilter> ConnectedCamera(bool live = false) const;
  // `error` tells why the camera cannot stream.
  Status OpenCamera(const std::shared_ptr<CameraSourceFilter>& camera, std::error_code& error);
  void CloseCamera();
  void OnCameraEnded(std::uint64_t generation);
  Status StartMicrophone(const std::shared_ptr<MicrophoneSourceFilter>& microphone);
  void StopMicrophone();

  std::vector<Entry> filters_;
  std::shared_ptr<CameraSourceFilter> previewSource_;
  std::vector<MuxInputs> muxes_;
  bool running_ = false;

  // Streaming, while running.
  std::unique_ptr<stream::V4l2Capture> camera_;
  std::uint64_t cameraGeneration_ = 0;
  bool cameraLost_ = false;
  std::uint64_t closedCameraFrames_ = 0;
  std::uint64_t closedCameraMissed_ = 0;
  std::uint64_t closedCameraCorrupt_ = 0;
  std::uint64_t closedCameraStalls_ = 0;
  std::unique_ptr<stream::PulseCapture> microphone_;
  std::shared_ptr<MicrophoneSourceFilter> microphoneFilter_;
  std::vector<stream::Connection> connections_;
  std::vector<stream::Connection> soundConnections_;
  stream::Connection cameraEnded_;
  std::shared_ptr<AviMuxFilter> lastRecording_;

  // The default renderer, made by the first preview rendering.
  std::shared_ptr<PreviewTap> tap_ = std::make_shared<PreviewTap>();
  QPointer<GraphRenderer> renderer_;
  std::shared_ptr<GraphVideoWindow> videoWindow_;
  QPointer<QWidget> notifyWindow_;

  // The capture thread's news that the stream ended, brought to this
  // thread; a wake-up still pending is dropped with the graph.
  std::atomic<std::uint64_t> endedGeneration_{0};
  std::unique_ptr<stream::ThreadWakeUp> cameraEndedWakeUp_;
};

LinuxFilterGraph::~LinuxFilterGraph() {
  Stop();
  muxes_.clear();
  lastRecording_.reset();
  if (GraphRenderer* renderer = renderer_.data()) {
    if (renderer->thread() == QThread::currentThread()) {
      delete renderer;
    } else {
      renderer->deleteLater();
    }
  }
}

bool LinuxFilterGraph::Contains(const Filter* filter) const {
  return std::any_of(filters_.begin(), filters_.end(),
                     [&](const Entry& e) { return e.filter.get() == filter; });
}

LinuxFilterGraph::MuxInputs* LinuxFilterGraph::InputsOf(const AviMuxFilter* mux) {
  for (auto& inputs : muxes_) {
    if (inputs.mux.get() == mux) return &inputs;
  }
  return nullptr;
}

std::shared_ptr<CameraSourceFilter> LinuxFilterGraph::ConnectedCamera(bool live) const {
  if (previewSource_) return previewSource_;
  for (const auto& inputs : muxes_) {
    if (inputs.video && (!live || inputs.mux->ready())) return inputs.video;
  }
  return nullptr;
}

Status LinuxFilterGraph::AddFilter(const std::shared_ptr<Filter>& filter, const QString& name) {
  if (!filter) return kPointer;
  if (Contains(filter.get())) return kInvalidArg;
  filters_.push_back({filter, name});
  return kOk;
}

Status LinuxFilterGraph::RemoveFilter(const std::shared_ptr<Filter>& filter) {
  if (!filter) return kPointer;
  const auto it = std::find_if(filters_.begin(), filters_.end(),
                               [&](const Entry& e) { return e.filter == filter; });
  if (it == filters_.end()) return kNotInGraph;
  // A running graph goes on without it.
  const bool wasRunning = running_;
  if (wasRunning) Stop();
  filters_.erase(it);
  if (previewSource_ == filter) previewSource_.reset();
  std::erase_if(muxes_, [&](const MuxInputs& inputs) { return inputs.mux == filter; });
  for (auto& inputs : muxes_) {
    if (inputs.video == filter) inputs.video.reset();
    if (inputs.audio == filter) inputs.audio.reset();
  }
  if (microphoneFilter_ == filter) StopMicrophone();
  if (wasRunning) Run();
  return kOk;
}

Status LinuxFilterGraph::QueryMediaControl(std::shared_ptr<MediaControl>& control) {
  control = std::shared_ptr<MediaControl>(shared_from_this(), this);
  return kOk;
}

Status LinuxFilterGraph::QueryVideoWindow(std::shared_ptr<VideoWindow>& window) {
  window.reset();
  if (!renderer_ || !videoWindow_) return kNoInterface;
  window = videoWindow_;
  return kOk;
}

Status LinuxFilterGraph::QueryMediaEvent(std::shared_ptr<MediaEvent>& events) {
  events = std::shared_ptr<MediaEvent>(shared_from_this(), this);
  return kOk;
}

Status LinuxFilterGraph::AddMux(const std::shared_ptr<AviMuxFilter>& mux) {
  const Status status = AddFilter(mux, QStringLiteral("AVI Mux"));
  if (status == kOk) muxes_.push_back({mux, nullptr, nullptr});
  return status;
}

Status LinuxFilterGraph::RenderPreview(const std::shared_ptr<CameraSourceFilter>& camera) {
  if (running_) return kNotStopped;
  if (!Contains(camera.get())) return kNotInGraph;
  if (const auto connected = ConnectedCamera(); connected && connected != camera) {
    return kCannotRender;  // one camera per graph
  }
  if (!renderer_) {
    // A window needs the widget application of this thread.
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()) ||
        QThread::currentThread() != QCoreApplication::instance()->thread()) {
      return kUnexpected;
    }
    renderer_ = new GraphRenderer(tap_);
    videoWindow_ = std::make_shared<GraphVideoWindow>(renderer_);
  }
  previewSource_ = camera;
  return kOk;
}

Status LinuxFilterGraph::ConnectVideo(const std::shared_ptr<CameraSourceFilter>& camera,
                                      const std::shared_ptr<AviMuxFilter>& mux) {
  if (running_) return kNotStopped;
  MuxInputs* inputs = InputsOf(mux.get());
  if (!Contains(camera.get()) || !inputs) return kNotInGraph;
  if (inputs->video) return kAlreadyConnected;
  if (const auto connected = ConnectedCamera(); connected && connected != camera) {
    return kCannotRender;
  }
  Guid subtype;
  if (const Status status = CurrentSubtype(*camera, subtype); status != kOk) return status;
  if (!AviCarries(subtype)) return kInvalidMediaType;
  inputs->video = camera;
  return kOk;
}

Status LinuxFilterGraph::ConnectAudio(const std::shared_ptr<MicrophoneSourceFilter>& microphone,
                                      const std::shared_ptr<AviMuxFilter>& mux) {
  if (running_) return kNotStopped;
  MuxInputs* inputs = InputsOf(mux.get());
  if (!Contains(microphone.get()) || !inputs) return kNotInGraph;
  if (inputs->audio) return kAlreadyConnected;
  // Started now, so that a source that has gone fails the connection
  // rather than leave the file without its sound.
  if (const Status status = StartMicrophone(microphone); status != kOk) return status;
  inputs->audio = microphone;
  return kOk;
}

Status LinuxFilterGraph::OpenCamera(const std::shared_ptr<CameraSourceFilter>& camera,
                                    std::error_code& error) {
  // An opening of its own, in the format the camera was set to: the
  // filter's opening gave the stream up after setting the format.
  linux_backend::UniqueFd fd(::open(camera->node().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    error = {errno, std::generic_category()};
    qCWarning(lcMedia) << "camera" << camera->node().c_str() << ": open failed:" << error.message().c_str();
    return StatusFromError(error);
  }
  auto capture = std::make_unique<stream::V4l2Capture>();
  if ((error = capture->Open(std::move(fd), std::nullopt))) return StatusFromError(error);
  camera_ = std::move(capture);
  cameraLost_ = false;
  ++cameraGeneration_;
  return kOk;
}

void LinuxFilterGraph::CloseCamera() {
  cameraEnded_.Disconnect();
  if (!camera_) return;
  const stream::V4l2Capture::Stats stats = camera_->stats();
  closedCameraFrames_ += stats.framesDelivered;
  closedCameraMissed_ += stats.framesMissed;
  closedCameraCorrupt_ += stats.framesCorrupt;
  closedCameraStalls_ += stats.stalls;
  camera_->Close();
  camera_.reset();
  ++cameraGeneration_;
}

void LinuxFilterGraph::OnCameraEnded(std::uint64_t generation) {
  if (generation != cameraGeneration_ || !camera_) return;
  cameraLost_ = true;
  // Gives the device back at once; the files go on with their sound and
  // are finished when the graph stops.
  CloseCamera();
}

Status LinuxFilterGraph::StartMicrophone(const std::shared_ptr<MicrophoneSourceFilter>& microphone) {
  if (microphone_ && microphoneFilter_ == microphone &&
      microphone_->state() == stream::PulseCapture::State::Recording) {
    return kOk;
  }
  StopMicrophone();
  auto capture = std::make_unique<stream::PulseCapture>();
  if (const std::error_code error = capture->Start(microphone->sourceName())) {
    return StatusFromError(error);
  }
  microphone_ = std::move(capture);
  microphoneFilter_ = microphone;
  return kOk;
}

void LinuxFilterGraph::StopMicrophone() {
  if (microphone_) microphone_->Stop();
  microphone_.reset();
  microphoneFilter_.reset();
}

Status LinuxFilterGraph::Run() {
  if (running_) return kOk;
  Status result = kOk;
  auto note = [&result](Status status) {
    if (result == kOk && status != kOk) result = status;
  };

  std::error_code cameraError;
  if (const std::shared_ptr<CameraSourceFilter> camera = ConnectedCamera(true)) {
    note(OpenCamera(camera, cameraError));
  }
  if (!camera_) {
    // Files of a camera that cannot stream are not made at all.
    for (auto& inputs : muxes_) {
      if (inputs.mux->ready() && inputs.video) {
        inputs.mux->Abandon(cameraError ? cameraError : std::make_error_code(std::errc::no_such_device));
        lastRecording_ = inputs.mux;
      }
    }
  }
  // Files need the picture; each gets the sound of its microphone.
  std::vector<MuxInputs*> beginning;
  for (auto& inputs : muxes_) {
    if (inputs.mux->ready() && inputs.video && camera_) beginning.push_back(&inputs);
  }
  std::vector<std::optional<stream::AudioFormat>> sound(beginning.size());
  for (std::size_t i = 0; i < beginning.size(); ++i) {
    if (!beginning[i]->audio) continue;
    const Status status = StartMicrophone(beginning[i]->audio);
    note(status);
    // A microphone that went since it was connected: the picture is still
    // recorded.
    if (status == kOk) sound[i] = stream::AudioFormat{microphone_->rate(), microphone_->channels()};
  }

  if (camera_) {
    // The recording starts with the stream: the camera's frames then fall
    // on the file's frame grid.
    const std::int64_t startUs = stream::MonotonicNowUs();
    for (std::size_t i = 0; i < beginning.size(); ++i) {
      const std::shared_ptr<AviMuxFilter>& mux = beginning[i]->mux;
      const Status status = mux->Begin(camera_->format(), sound[i], startUs);
      note(status);
      if (status != kOk) continue;
      lastRecording_ = mux;
      connections_.push_back(camera_->Connect(
          [mux](const stream::VideoFramePtr& frame) { mux->PushVideo(frame); }));
      if (sound[i]) {
        soundConnections_.push_back(microphone_->Connect(
            [mux](const stream::AudioChunkPtr& chunk) { mux->PushAudio(chunk); }));
        // The picture goes on; the file learns where its sound ended.
        stream::PulseCapture* capture = microphone_.get();
        soundConnections_.push_back(capture->ConnectEnded(
            [mux, capture](const std::error_code&) { mux->SoundEnded(capture->endedAtUs()); }));
        if (capture->state() == stream::PulseCapture::State::Ended) {
          mux->SoundEnded(capture->endedAtUs());
        }
      }
    }
    if (previewSource_) {
      connections_.push_back(camera_->Connect(
          [tap = tap_](const stream::VideoFramePtr& frame) { tap->Present(frame); }));
    }
    const std::uint64_t generation = cameraGeneration_;
    stream::ThreadWakeUp* wakeUp = cameraEndedWakeUp_.get();
    cameraEnded_ = camera_->ConnectEnded([this, wakeUp, generation](const std::error_code&) {
      endedGeneration_ = generation;
      wakeUp->Post();
    });
    if (const std::error_code error = camera_->Start()) {
      note(StatusFromError(error));
      cameraLost_ = true;
      CloseCamera();
      // Their files got no picture: none is left.
      for (MuxInputs* inputs : beginning) {
        if (inputs->mux->writing()) inputs->mux->Abandon(error);
      }
    }
  }
  running_ = true;
  return result;
}

Status LinuxFilterGraph::Stop() {
  const std::int64_t endUs = stream::MonotonicNowUs();
  // The news of a lost camera may still be on its way to this thread.
  if (camera_ && (camera_->state() == stream::V4l2Capture::State::DeviceLost ||
                  camera_->state() == stream::V4l2Capture::State::Failed)) {
    cameraLost_ = true;
  }
  const bool cameraWasLost = cameraLost_;
  const bool soundGoesOn =
      microphone_ && microphone_->state() == stream::PulseCapture::State::Recording;
  // The files end at the stop, also when the disconnection below has to
  // wait for the capture thread and frames of later moments come meanwhile.
  for (auto& inputs : muxes_) inputs.mux->EndVideoAt(endUs);
  // Each disconnection waits for a delivery in progress; none comes after.
  connections_.clear();
  CloseCamera();
  // The sound server hands sound over some way behind: what was said just
  // before the stop is still to come, and what comes after it stays out.
  if (soundGoesOn && !soundConnections_.empty()) {
    std::int64_t soundUntilUs = endUs;
    for (auto& inputs : muxes_) {
      if (inputs.mux->writing() && inputs.audio == microphoneFilter_) {
        soundUntilUs = std::max(soundUntilUs, inputs.mux->EndSoundAt(endUs));
      }
    }
    if (!microphone_->WaitDelivered(soundUntilUs, kLastSoundTimeout)) {
      qCWarning(lcMedia) << "microphone" << microphoneFilter_->sourceName().c_str()
                         << "pa_stream read: no sound up to the stop within" << kLastSoundTimeout.count()
                         << "ms; the file ends with silence";
    }
  }
  soundConnections_.clear();
  // A file lasts until now; but one whose camera went away, and that has
  // no sound going on either, ends with its last frame.
  for (auto& inputs : muxes_) {
    const bool withSound = inputs.audio && inputs.audio == microphoneFilter_ && soundGoesOn;
    const bool ended = cameraWasLost && !withSound;
    if (inputs.mux->writing()) {
      inputs.mux->Finish(ended ? std::nullopt : std::optional<std::int64_t>(endUs));
    }
  }
  StopMicrophone();
  running_ = false;
  return kOk;
}

GraphStats LinuxFilterGraph::Stats() const {
  GraphStats stats;
  stats.running = running_;
  stats.cameraLost = cameraLost_;
  stats.cameraFrames = closedCameraFrames_;
  stats.cameraFramesMissed = closedCameraMissed_;
  stats.cameraFramesCorrupt = closedCameraCorrupt_;
  stats.cameraStalls = closedCameraStalls_;
  if (camera_) {
    const stream::V4l2Capture::Stats s = camera_->stats();
    stats.cameraFrames += s.framesDelivered;
    stats.cameraFramesMissed += s.framesMissed;
    stats.cameraFramesCorrupt += s.framesCorrupt;
    stats.cameraStalls += s.stalls;
  }
  if (const GraphRenderer* renderer = renderer_.data()) {
    const stream::FrameRenderer::Stats s = renderer->stats();
    stats.previewFrames = s.presented;
    stats.previewDecoded = s.decoded;
    stats.previewDropped = s.dropped;
    stats.previewFailed = s.failed;
  }
  if (lastRecording_) lastRecording_->AddStats(stats);
  return stats;
}

class LinuxCaptureGraphBuilder final : public CaptureGraphBuilder {
 public:
  Status SetFiltergraph(const std::shared_ptr<FilterGraph>& graph) override {
    if (!graph) return kPointer;
    if (graph_) return kUnexpected;
    auto ours = std::dynamic_pointer_cast<LinuxFilterGraph>(graph);
    if (!ours) return kInvalidArg;
    graph_ = std::move(ours);
    return kOk;
  }

  Status SetOutputFileName(const Guid& subtype, const QString& path,
                           std::shared_ptr<Filter>& mux) override {
    mux.reset();
    if (!graph_) return kUnexpected;
    if (subtype != MEDIASUBTYPE_Avi) return kInvalidArg;
    if (path.isEmpty()) return kInvalidArg;
    if (graph_->running()) return kNotStopped;
    std::shared_ptr<AviMuxFilter> created;
    const QByteArray encoded = FileNameToBytes(path);
    if (const Status status =
            AviMuxFilter::Create(std::filesystem::path(encoded.toStdString()), created);
        status != kOk) {
      return status;
    }
    if (const Status status = graph_->AddMux(created); status != kOk) return status;
    mux = std::move(created);
    return kOk;
  }

  Status RenderStream(const Guid* category, const Guid* majorType,
                      const std::shared_ptr<Filter>& source,
                      const std::shared_ptr<Filter>& intermediate,
                      const std::shared_ptr<Filter>& sink) override {
    if (!graph_) return kUnexpected;
    const auto mux = std::dynamic_pointer_cast<AviMuxFilter>(sink);
    const Status status = Render(category, majorType, source, intermediate, sink, mux);
    // A file whose inputs could not all be connected is not written.
    if (status != kOk && mux) mux->Break();
    return status;
  }

 private:
  Status Render(const Guid* category, const Guid* majorType, const std::shared_ptr<Filter>& source,
                const std::shared_ptr<Filter>& intermediate, const std::shared_ptr<Filter>& sink,
                const std::shared_ptr<AviMuxFilter>& mux) {
    if (!source) return kPointer;
    if (category && *category != PIN_CATEGORY_PREVIEW && *category != PIN_CATEGORY_CAPTURE) {
      return kCannotRender;
    }
    // No compressors: files hold the camera's own format.
    if (intermediate) return kCannotRender;
    if (sink && !mux) return kCannotRender;
    if (const auto camera = std::dynamic_pointer_cast<CameraSourceFilter>(source)) {
      if (majorType && *majorType != MEDIATYPE_Video) return kCannotRender;
      return mux ? graph_->ConnectVideo(camera, mux) : graph_->RenderPreview(camera);
    }
    if (const auto microphone = std::dynamic_pointer_cast<MicrophoneSourceFilter>(source)) {
      if (majorType && *majorType != MEDIATYPE_Audio) return kCannotRender;
      if (!mux) return kCannotRender;  // sound is only recorded, never played
      return graph_->ConnectAudio(microphone, mux);
    }
    return kCannotRender;
  }

  std::shared_ptr<LinuxFilterGraph> graph_;
};

}  // namespace

Status CreateLinuxFilterGraph(std::shared_ptr<FilterGraph>& graph) {
  graph = std::make_shared<LinuxFilterGraph>();
  return kOk;
}

Status CreateLinuxCaptureGraphBuilder(std::shared_ptr<CaptureGraphBuilder>& builder) {
  builder = std::make_shared<LinuxCaptureGraphBuilder>();
  return kOk;
}

}  // namespace linux_backend

bool ReadGraphStats(const FilterGraph& graph, GraphStats& stats) {
  const auto* ours = dynamic_cast<const linux_backend::LinuxFilterGraph*>(&graph);
  if (!ours) return false;
  stats = ours->Stats();
  return true;
}

}  // namespace kinovo::media
