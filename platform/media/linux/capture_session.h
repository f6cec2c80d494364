#pragma once

// A camera's capture session: the camera streams once, from Start() to
// Stop(), and its capture thread hands every frame to the preview (which
// keeps only the newest frame and decodes on a thread of its own) and to
// the recording in progress, if any (which queues it for its writer
// thread). A recording, with or without a microphone, begins and ends while
// the camera goes on streaming: no frame of the preview is lost to it.
//
// A stopped recording is finished on a thread of its own (the microphone's
// last sound awaited, the index and headers written); its owner learns on
// its own thread when the file is complete. Nothing here makes the calling
// thread wait for a device, a file or the sound server beyond a bounded
// hand-over.
//
// All calls come from one thread that runs a Qt event loop (the
// user-interface thread).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <QImage>
#include <QPointer>
#include <QRect>
#include <QSize>

#include "platform/media/devices.h"
#include "platform/media/linux/recording_file.h"
#include "platform/media/stream/avi_writer.h"
#include "platform/media/stream/v4l2_capture.h"

class QWidget;

namespace kinovo::media {

// The counters of a recording, in progress or finished: the writer's own
// and what the session adds around it.
struct RecordingCounters : stream::AviWriter::Stats {
  bool recording = false;
  std::uint64_t recordedFramesCaptured = 0;  // frames the camera gave the file
  std::uint64_t framesRefused = 0;           // the writer's queue was full
  std::string recordingError;  // empty when the file was written without error
  // Its span on CLOCK_MONOTONIC, in microseconds: from its start to its
  // stop (0 while it goes on).
  std::int64_t recordingStartUs = 0;
  std::int64_t recordingEndUs = 0;
};

// What a session has done so far, for diagnostics and benchmarks; the
// program itself never looks. The recording's counters are those of the
// recording in progress, or of the last one finished; the camera's cover
// every stream since the session was made.
struct CaptureStats : RecordingCounters, stream::V4l2Capture::Stats {
  bool streaming = false;
  bool cameraLost = false;         // the camera went away while streaming
  std::uint64_t streamStarts = 0;  // times the camera was set streaming

  // The preview: frames handed to it, shown, and replaced by a newer one
  // before they could be decoded.
  std::uint64_t previewFrames = 0;
  std::uint64_t previewDecoded = 0;
  std::uint64_t previewDropped = 0;
  std::uint64_t previewFailed = 0;  // could not be decoded (damaged frames)
};

// What a stopped recording came to, once its file is complete.
struct RecordingResult {
  std::filesystem::path file;
  // Why the file failed or ended before it was stopped (a full disk, a
  // camera that gave no picture, in which case no file is left); none when
  // all went well.
  std::error_code error;
  SoundReport sound;
  RecordingCounters counters;
};

// A camera frame kept for a still picture: shared with the stream, never
// copied. Decoding may happen on any thread.
class StillFrame {
 public:
  bool empty() const { return !frame_; }
  const stream::VideoFramePtr& frame() const { return frame_; }
  // Decoded exactly (stream::DecodeStill) at `size` (its own size when
  // empty), for a photo; a null picture when it cannot be decoded, with
  // `why` in words. Tens of milliseconds for a 4K frame.
  QImage Decode(QSize size, std::string* why = nullptr) const;
  // Decoded as the preview decodes it, for a glimpse at `size`: at a
  // reduced scale where the size allows, with the fast transform. A null
  // picture when it cannot be decoded.
  QImage DecodeForView(QSize size) const;

 private:
  friend class CaptureSession;
  stream::VideoFramePtr frame_;
  std::string camera_;
};

// Runs `work` on the thread that finishes recordings, after what is queued
// there; the function it returns then runs on the thread that made the
// first recording or call here (the user-interface thread).
void RunInBackground(std::function<std::function<void()>()> work);
// The same on a thread of its own that no recording's finishing and no
// photo's writing holds up: for short jobs whose result the user waits to
// see.
void RunPromptly(std::function<std::function<void()>()> work);

// Waits until every stopped recording's file is complete and tells their
// owners. For the end of the program and for tools that end after a
// recording; the user interface never calls it while it runs.
void FinishRecordings();

class CaptureSession {
 public:
  using RecordingDone = std::function<void(const RecordingResult&)>;

  // Streams from `camera`'s own opening; nothing streams yet.
  explicit CaptureSession(std::shared_ptr<Camera> camera);
  // Ends the stream; a recording in progress is stopped and finished.
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  const std::string& node() const { return node_; }

  // The preview shows in `owner` (a child at `geometry`); none hides it.
  // The owner may destroy it at any time.
  void PlacePreview(QWidget* owner, const QRect& geometry);
  QWidget* preview() const;

  // Opens the camera in the format it was set to and starts streaming; a
  // session that streams already goes on. The error tells why it cannot,
  // and `failedCall` which device call failed ("VIDIOC_REQBUFS"; empty
  // when none did).
  std::error_code Start(std::string* failedCall = nullptr);
  // Ends the stream and gives the camera's buffers back, so that its
  // format can be changed; a recording in progress is stopped first.
  void Stop();
  bool streaming() const;
  // The format the camera streams in, as it applied it; none while it does
  // not stream.
  std::optional<stream::StreamFormat> format() const;
  // The camera went away or failed while streaming.
  bool cameraLost() const { return cameraLost_; }
  // `lost` runs on this thread, with the error that ended the stream, when
  // the camera goes away or fails while streaming (the stream has ended
  // and the device is given back by then).
  void SetCameraLostHandler(std::function<void(const std::error_code&)> lost) {
    onCameraLost_ = std::move(lost);
  }

  // Records the camera's stream, and the sound server's source
  // `microphone` when one is named, into a new file at `path` from now
  // on. A file that exists is never written over. Fails, leaving no file,
  // when the camera does not stream and cannot be started, the file cannot
  // be made or the microphone cannot be recorded.
  // `failed` tells which of them failed.
  enum class Part { Camera, File, Microphone };
  std::error_code StartRecording(const std::filesystem::path& path,
                                 const std::string& microphone = {}, Part* failed = nullptr);
  bool recording() const { return recording_ != nullptr; }
  // Ends the recording at this moment. Its file is finished on a thread of
  // its own; `done` runs on this thread once it is complete (not at all
  // when there is no recording).
  void StopRecording(RecordingDone done);
  // How the recording in progress stands: why it stopped on its own (a
  // full disk, a write error), the file being already finished and
  // playable; none while it is written well or nothing is recorded.
  std::error_code RecordingError() const;
  // Bytes of its disk the recording in progress keeps aside for the end of
  // its file; 0 when nothing is recorded.
  std::uint64_t RecordingSpaceHeld() const;
  // How the sound of the recording in progress stands. Reads counters
  // only: cheap enough for every timer tick.
  SoundReport RecordingSound() const;

  // The newest frame the camera delivered, for a still picture; an empty
  // one when the camera does not stream, with `why` in words.
  class StillFrame NewestFrame(std::string* why = nullptr) const;

  CaptureStats Stats() const;

 private:
  struct Recording;
  struct Stream;

  void OnCameraEnded(std::uint64_t generation);
  void CloseCamera();
  void HandOver(std::unique_ptr<Recording> recording, RecordingDone done);

  std::shared_ptr<Camera> device_;
  std::string node_;
  std::function<void(const std::error_code&)> onCameraLost_;
  std::unique_ptr<Stream> camera_;
  std::unique_ptr<Recording> recording_;
  std::uint64_t generation_ = 0;
  bool cameraLost_ = false;
  std::uint64_t streamStarts_ = 0;
  CaptureStats closed_;  // counters of the streams that ended
  // Of the last recording stopped; its file's finishing fills them in.
  std::shared_ptr<RecordingCounters> lastRecording_ = std::make_shared<RecordingCounters>();

  struct Preview;
  std::unique_ptr<Preview> preview_;

 public:
  // The frames of the stream in progress: those that came whole, and those
  // that came damaged (flagged by the driver, empty, or no whole picture of
  // the mode, as a recording would leave them out). Atomic counters only:
  // cheap enough for every timer tick.
  struct FrameCounts {
    std::uint64_t whole = 0;
    std::uint64_t damaged = 0;
  };
  FrameCounts Frames() const;
};

}  // namespace kinovo::media
