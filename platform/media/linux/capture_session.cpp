#include "platform/media/linux/capture_session.h"

#include <fcntl.h>

#include <QApplication>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stop_token>
#include <thread>

#include "platform/media/linux/preview_renderer.h"
#include "platform/media/linux/unique_fd.h"
#include "platform/media/stream/avi_writer.h"
#include "platform/media/stream/frame_decoder.h"
#include "platform/media/stream/media_log.h"
#include "platform/media/stream/pulse_capture.h"
#include "platform/media/stream/still_decoder.h"
#include "platform/media/stream/thread_wake_up.h"
#include "platform/media/stream/v4l2_capture.h"

namespace kinovo::media {
namespace {

// How long a stopped recording waits for the microphone's last sound.
constexpr std::chrono::milliseconds kLastSoundTimeout{1000};

// Runs jobs (finishing stopped recordings, writing photos) one after the
// other on a thread of its own and hands what each returns to the thread
// that made it.
class Finisher {
 public:
  using Job = std::function<std::function<void()>()>;

  // The first call comes from the user-interface thread.
  static Finisher& Instance() {
    static Finisher finisher;
    return finisher;
  }
  static Finisher& Prompt() {
    static Finisher finisher;
    return finisher;
  }

  void Add(Job job) {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(job));
      if (!thread_.joinable()) thread_ = std::jthread([this](std::stop_token stop) { Run(stop); });
    }
    wake_.notify_all();
  }

  // Waits for the jobs still queued or running, then runs what they
  // returned.
  void Drain() {
    {
      std::unique_lock lock(mutex_);
      idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
    }
    Deliver();
  }

  ~Finisher() {
    // Jobs still queued are done before the thread ends; their owners are
    // gone.
    thread_ = {};
  }

 private:
  Finisher() : delivery_(std::make_unique<stream::ThreadWakeUp>([this] { Deliver(); })) {}

  void Run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, stop, [this] { return !queue_.empty(); });
      if (queue_.empty()) return;  // asked to stop, and nothing left
      Job job = std::move(queue_.front());
      queue_.pop_front();
      busy_ = true;
      lock.unlock();
      std::function<void()> then = job();
      job = nullptr;  // what it holds (a microphone, a file) goes here, off the caller's thread
      lock.lock();
      if (then) finished_.push_back(std::move(then));
      busy_ = false;
      idle_.notify_all();
      if (delivery_) delivery_->Post();
    }
  }

  void Deliver() {
    std::vector<std::function<void()>> finished;
    {
      std::lock_guard lock(mutex_);
      finished.swap(finished_);
    }
    for (const std::function<void()>& then : finished) then();
  }

  std::mutex mutex_;
  std::condition_variable_any wake_;
  std::condition_variable_any idle_;
  std::deque<Job> queue_;
  std::vector<std::function<void()>> finished_;
  bool busy_ = false;
  std::unique_ptr<stream::ThreadWakeUp> delivery_;
  std::jthread thread_;  // last: ends before the rest goes
};

}  // namespace

void RunInBackground(std::function<std::function<void()>()> work) {
  Finisher::Instance().Add(std::move(work));
}

void RunPromptly(std::function<std::function<void()>()> work) {
  Finisher::Prompt().Add(std::move(work));
}

void FinishRecordings() { Finisher::Instance().Drain(); }

Status StatusFromError(const std::error_code& error) {
  if (!error) return kOk;
  if (error.category() == stream::PulseCategory()) {
    switch (error.value()) {
      case stream::pulse_errc::kNoEntity:
      case stream::pulse_errc::kKilled: return StatusFromErrno(ENODEV);
      case stream::pulse_errc::kConnectionRefused: return StatusFromErrno(ECONNREFUSED);
      case stream::pulse_errc::kTimeout: return StatusFromErrno(ETIMEDOUT);
      default: return StatusFromErrno(EIO);
    }
  }
  if (error.category() == stream::WriterCategory() &&
      error.value() == stream::writer_errc::kNoPicture) {
    return StatusFromErrno(ENODATA);
  }
  const std::error_condition condition = error.default_error_condition();
  if (condition.category() == std::generic_category() && condition.value() > 0) {
    return StatusFromErrno(condition.value());
  }
  return StatusFromErrno(EIO);
}

struct CaptureSession::Stream {
  stream::V4l2Capture capture;
  stream::Connection preview;
  stream::Connection ended;
  std::atomic<std::uint64_t> broken{0};  // delivered, but no whole picture
  stream::Connection check;              // counts `broken`; gone before it
};

struct CaptureSession::Recording {
  std::unique_ptr<linux_backend::RecordingFile> file;
  std::unique_ptr<stream::PulseCapture> microphone;
  std::string microphoneName;
  stream::Connection video;
  std::vector<stream::Connection> sound;
};

struct CaptureSession::Preview {
  std::shared_ptr<linux_backend::PreviewTap> tap = std::make_shared<linux_backend::PreviewTap>();
  QPointer<linux_backend::PreviewRenderer> renderer;
  // The capture thread's news that the stream ended, brought to this
  // thread; a wake-up still pending is dropped with the session.
  std::atomic<std::uint64_t> endedGeneration{0};
  std::unique_ptr<stream::ThreadWakeUp> cameraEnded;
};

CaptureSession::CaptureSession(std::shared_ptr<Camera> camera)
    : device_(std::move(camera)),
      node_(device_->info().node),
      preview_(std::make_unique<Preview>()) {
  preview_->cameraEnded = std::make_unique<stream::ThreadWakeUp>(
      [this] { OnCameraEnded(preview_->endedGeneration.load()); });
}

CaptureSession::~CaptureSession() {
  Stop();
  if (linux_backend::PreviewRenderer* renderer = preview_->renderer.data()) {
    if (renderer->thread() == QThread::currentThread()) {
      delete renderer;
    } else {
      renderer->deleteLater();
    }
  }
}

void CaptureSession::PlacePreview(QWidget* owner, const QRect& geometry) {
  if (!preview_->renderer) {
    // A widget needs the widget application of this thread.
    if (!qobject_cast<QApplication*>(QCoreApplication::instance()) ||
        QThread::currentThread() != QCoreApplication::instance()->thread()) {
      qCWarning(lcMedia) << "camera" << node_.c_str()
                         << ": no preview without a widget application on this thread";
      return;
    }
    preview_->renderer = new linux_backend::PreviewRenderer(preview_->tap);
  }
  preview_->renderer->PlaceIn(owner, geometry);
}

QWidget* CaptureSession::preview() const { return preview_->renderer.data(); }

bool CaptureSession::streaming() const {
  return camera_ && camera_->capture.state() == stream::V4l2Capture::State::Streaming;
}

std::optional<stream::StreamFormat> CaptureSession::format() const {
  if (!camera_) return std::nullopt;
  return camera_->capture.format();
}

std::error_code CaptureSession::Start(std::string* failedCall) {
  if (failedCall) failedCall->clear();
  if (camera_) return {};
  // The format the camera was set to, as it stands, on its own opening.
  errno = 0;
  linux_backend::UniqueFd fd = device_->StreamHandle();
  if (!fd) {
    const std::error_code error(errno ? errno : ENODEV, std::generic_category());
    qCWarning(lcMedia) << "camera" << node_.c_str()
                       << ": no handle to stream from:" << error.message().c_str();
    if (failedCall) *failedCall = "open";
    return error;
  }
  auto camera = std::make_unique<Stream>();
  if (const std::error_code error = camera->capture.Open(std::move(fd), std::nullopt)) {
    if (failedCall) *failedCall = camera->capture.failedCall();
    return error;
  }
  camera->preview = camera->capture.Connect(
      [tap = preview_->tap](const stream::VideoFramePtr& frame) { tap->Present(frame); });
  // Raw frames cut short never come: the capture counts them as corrupt.
  camera->check =
      camera->capture.Connect([broken = &camera->broken](const stream::VideoFramePtr& frame) {
        const stream::StreamFormat& f = frame->format;
        if (stream::IsJpeg(f.pixelFormat) &&
            !stream::JpegLooksWhole(frame->bytes(), f.width, f.height)) {
          ++*broken;
        }
      });
  const std::uint64_t generation = ++generation_;
  Preview* preview = preview_.get();
  camera->ended = camera->capture.ConnectEnded([preview, generation](const std::error_code&) {
    preview->endedGeneration = generation;
    preview->cameraEnded->Post();
  });
  if (const std::error_code error = camera->capture.Start()) {
    if (failedCall) *failedCall = camera->capture.failedCall();
    cameraLost_ = true;
    camera->capture.Close();
    return error;
  }
  ++streamStarts_;
  cameraLost_ = false;
  camera_ = std::move(camera);
  return {};
}

void CaptureSession::CloseCamera() {
  if (!camera_) return;
  camera_->ended.Disconnect();
  camera_->preview.Disconnect();
  if (recording_) recording_->video.Disconnect();
  preview_->tap->Forget();
  static_cast<stream::V4l2Capture::Stats&>(closed_) += camera_->capture.stats();
  camera_->capture.Close();
  camera_.reset();
  ++generation_;
}

void CaptureSession::OnCameraEnded(std::uint64_t generation) {
  if (generation != generation_ || !camera_) return;
  cameraLost_ = true;
  const std::error_code error = camera_->capture.endError();
  qCWarning(lcMedia) << "camera" << node_.c_str()
                     << ": the stream ended:" << error.message().c_str();
  // Gives the device back at once; a recording goes on with its sound
  // until it is stopped.
  CloseCamera();
  device_->Release();
  if (onCameraLost_) onCameraLost_(error ? error : std::make_error_code(std::errc::no_such_device));
}

void CaptureSession::Stop() {
  if (recording_) StopRecording(nullptr);
  CloseCamera();
}

std::error_code CaptureSession::StartRecording(const std::filesystem::path& path,
                                               const std::string& microphone, Part* failed) {
  auto fail = [failed](Part part, std::error_code error) {
    if (failed) *failed = part;
    return error;
  };
  if (recording_) return fail(Part::File, std::make_error_code(std::errc::device_or_resource_busy));
  // A camera that went away may be back: the recording tries it once more.
  if (!camera_) {
    if (const std::error_code error = Start()) {
      qCWarning(lcMedia) << "file" << path.c_str() << ": camera" << node_.c_str()
                         << "does not stream:" << error.message().c_str();
      return fail(Part::Camera, error);
    }
  }
  auto recording = std::make_unique<Recording>();
  if (const std::error_code error = linux_backend::RecordingFile::Create(path, recording->file)) {
    return fail(Part::File, error);
  }
  std::optional<stream::AudioFormat> sound;
  if (!microphone.empty()) {
    recording->microphone = std::make_unique<stream::PulseCapture>();
    recording->microphoneName = microphone;
    if (const std::error_code error = recording->microphone->Start(microphone)) {
      qCWarning(lcMedia) << "file" << path.c_str() << ": microphone" << microphone.c_str()
                         << "cannot be recorded:" << error.message().c_str();
      recording->file->Abandon(error);
      return fail(Part::Microphone, error);
    }
    sound = stream::AudioFormat{recording->microphone->rate(), recording->microphone->channels()};
  }
  linux_backend::RecordingFile* file = recording->file.get();
  if (const std::error_code error =
          file->Begin(camera_->capture.format(), sound, stream::MonotonicNowUs())) {
    return fail(Part::File, error);
  }
  if (stream::PulseCapture* capture = recording->microphone.get()) {
    recording->sound.push_back(
        capture->Connect([file](const stream::AudioChunkPtr& chunk) { file->PushAudio(chunk); }));
    // The picture goes on; the file learns where its sound ended.
    recording->sound.push_back(capture->ConnectEnded(
        [file, capture](const std::error_code&) { file->SoundEnded(capture->endedAtUs()); }));
    if (capture->state() == stream::PulseCapture::State::Ended)
      file->SoundEnded(capture->endedAtUs());
  }
  recording->video = camera_->capture.Connect(
      [file](const stream::VideoFramePtr& frame) { file->PushVideo(frame); });
  recording_ = std::move(recording);
  qCDebug(lcMedia) << "camera" << node_.c_str() << ": recording into" << path.c_str();
  return {};
}

void CaptureSession::StopRecording(RecordingDone done) {
  if (!recording_) return;
  const std::int64_t endUs = stream::MonotonicNowUs();
  std::unique_ptr<Recording> recording = std::move(recording_);
  linux_backend::RecordingFile& file = *recording->file;
  // The file ends at the stop, also when the disconnection below has to
  // wait for a frame being delivered, and frames of later moments come.
  file.EndVideoAt(endUs);
  recording->video.Disconnect();
  // The news of a lost camera may still be on its way to this thread.
  const bool cameraWasLost =
      cameraLost_ || !camera_ || camera_->capture.state() != stream::V4l2Capture::State::Streaming;
  const bool soundGoesOn = recording->microphone &&
                           recording->microphone->state() == stream::PulseCapture::State::Recording;
  // The sound server hands sound over some way behind: what was said just
  // before the stop is still to come, and what comes after it stays out.
  const std::int64_t soundUntilUs = soundGoesOn ? file.EndSoundAt(endUs) : endUs;
  // A file whose camera went away, and that has no sound going on either,
  // ends with its last frame; any other lasts until now.
  const std::optional<std::int64_t> fileEndUs =
      cameraWasLost && !soundGoesOn ? std::nullopt : std::optional<std::int64_t>(endUs);
  // What the window shows until the file is complete.
  *lastRecording_ = {};
  file.AddStats(*lastRecording_);
  lastRecording_->recording = false;
  lastRecording_->recordingEndUs = endUs;

  Finisher::Instance().Add([recording = std::shared_ptr<Recording>(std::move(recording)),
                            soundGoesOn, soundUntilUs, fileEndUs,
                            last = std::weak_ptr<RecordingCounters>(lastRecording_),
                            done = std::move(done)]() -> std::function<void()> {
    linux_backend::RecordingFile& file = *recording->file;
    if (soundGoesOn && !recording->microphone->WaitDelivered(soundUntilUs, kLastSoundTimeout)) {
      qCWarning(lcMedia) << "microphone" << recording->microphoneName.c_str()
                         << "pa_stream read: no sound up to the stop within"
                         << kLastSoundTimeout.count() << "ms; the file ends with silence";
    }
    recording->sound.clear();
    if (recording->microphone) recording->microphone->Stop();
    file.Finish(fileEndUs);
    RecordingResult result;
    result.file = file.path();
    result.error = file.error();
    result.sound = file.Sound();
    file.AddStats(result.counters);
    return [last, done, result] {
      if (const auto counters = last.lock()) *counters = result.counters;
      if (done) done(result);
    };
  });
}

std::error_code CaptureSession::RecordingError() const {
  return recording_ ? recording_->file->error() : std::error_code();
}

std::uint64_t CaptureSession::RecordingSpaceHeld() const {
  return recording_ ? recording_->file->SpaceHeld() : 0;
}

SoundReport CaptureSession::RecordingSound() const {
  return recording_ ? recording_->file->Sound() : SoundReport{};
}

StillFrame CaptureSession::NewestFrame(std::string* why) const {
  StillFrame still;
  if (!streaming()) {
    if (why) *why = "the camera gives no picture";
    return still;
  }
  still.frame_ = preview_->tap->Latest();
  still.camera_ = node_;
  if (!still.frame_ && why) *why = "the camera has given no picture yet";
  return still;
}

QImage StillFrame::Decode(QSize size, std::string* why) const {
  if (!frame_) {
    if (why) *why = "there is no picture";
    return {};
  }
  // Decoded from the camera's frame, not taken from the screen: the still
  // has the frame's full detail whatever the window's size.
  std::string words;
  QImage picture = stream::DecodeStill(*frame_, size, &words);
  if (picture.isNull()) {
    qCWarning(lcMedia) << "camera" << camera_.c_str()
                       << ": a frame for a still cannot be decoded:" << words.c_str();
    if (why) *why = "the camera's picture cannot be decoded";
  }
  return picture;
}

QImage StillFrame::DecodeForView(QSize size) const {
  if (!frame_) return {};
  stream::FrameDecoder decoder;
  QImage picture = decoder.Decode(*frame_, size);
  if (picture.isNull())
    qCDebug(lcMedia) << "camera" << camera_.c_str() << ": a frame for a glimpse cannot be decoded";
  return picture;
}

CaptureStats CaptureSession::Stats() const {
  CaptureStats stats = closed_;
  stats.streaming = streaming();
  stats.cameraLost = cameraLost_;
  stats.streamStarts = streamStarts_;
  if (camera_) static_cast<stream::V4l2Capture::Stats&>(stats) += camera_->capture.stats();
  if (const linux_backend::PreviewRenderer* renderer = preview_->renderer.data()) {
    const stream::FrameRenderer::Stats s = renderer->stats();
    stats.previewFrames = s.presented;
    stats.previewDecoded = s.decoded;
    stats.previewDropped = s.dropped;
    stats.previewFailed = s.failed;
  }
  static_cast<RecordingCounters&>(stats) = *lastRecording_;
  if (recording_) recording_->file->AddStats(stats);
  return stats;
}

CaptureSession::FrameCounts CaptureSession::Frames() const {
  if (!camera_) return {};
  // `broken` grows only after the delivered count did: read first, it never
  // exceeds it.
  const std::uint64_t broken = camera_->broken.load();
  const stream::V4l2Capture::Stats s = camera_->capture.stats();
  const std::uint64_t delivered = std::max(s.framesDelivered, broken);
  return {delivered - broken, s.framesCorrupt + broken};
}

}  // namespace kinovo::media
