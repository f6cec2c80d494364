#pragma once

// The filter graph and capture graph builder of the Linux back end.
//
// A camera has one V4L2 stream. Running the graph opens it once, and its
// capture thread hands every frame to each branch connected to it: the
// video window (which keeps only the newest frame and decodes on a thread
// of its own) and the AVI multiplexer (which queues it for its writer
// thread). Neither branch can hold up the other or the camera. A microphone
// is recorded from the sound server while it is connected to a multiplexer.
//
// Stopping the graph ends every stream and finishes the files of its
// multiplexers; it also frees the camera's buffers, so that the camera's
// format can be changed while the graph is stopped.
//
// All calls come from the user-interface thread.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/media/media.h"

namespace kinovo::media {

// Failures of the graph services, as the original platform numbers them.
inline constexpr Status kNotInGraph = static_cast<Status>(0x8004025Fu);
inline constexpr Status kCannotRender = static_cast<Status>(0x80040218u);
inline constexpr Status kAlreadyConnected = static_cast<Status>(0x80040204u);
inline constexpr Status kNotStopped = static_cast<Status>(0x80040224u);

// What a graph of this back end has done so far, for diagnostics and
// benchmarks; the program itself never looks.
struct GraphStats {
  bool running = false;
  bool cameraLost = false;             // the camera went away while streaming
  std::uint64_t cameraFrames = 0;      // frames the camera delivered since the graph was made
  std::uint64_t cameraFramesMissed = 0;  // gaps in the driver's frame counter
  std::uint64_t cameraFramesCorrupt = 0;  // flagged as damaged or empty: not delivered
  std::uint64_t cameraStalls = 0;  // silences of a few frame periods without an error

  // The video window: frames handed to it, shown, and replaced by a newer
  // one before they could be decoded.
  std::uint64_t previewFrames = 0;
  std::uint64_t previewDecoded = 0;
  std::uint64_t previewDropped = 0;
  std::uint64_t previewFailed = 0;  // could not be decoded (damaged frames)

  // The recording in progress, or the last one finished in this graph.
  bool recording = false;
  std::uint64_t recordedFramesCaptured = 0;  // frames the camera gave the file
  std::uint64_t framesWritten = 0;           // slots with a picture
  std::uint64_t framesRepeated = 0;   // of these, slots before the first picture, repeating it
  std::uint64_t framesDiscarded = 0;  // a second frame for one slot
  std::uint64_t framesUnusable = 0;   // could not be used; their slots are empty
  std::uint64_t emptyFramesWritten = 0;
  std::uint64_t framesRefused = 0;  // the writer's queue was full
  std::uint64_t audioSamplesWritten = 0;  // sample frames (one per channel set)
  std::uint64_t audioSamplesInserted = 0;  // repeated samples and silence
  std::uint64_t audioLeadingSilence = 0;   // of these, silence before the microphone's first sample
  std::uint64_t audioSilenceInserted = 0;  // and silence where it gave nothing later on
  std::uint64_t audioGaps = 0;             // places such silence went in
  std::uint64_t audioSamplesDropped = 0;
  std::string recordingError;  // empty when the file was written without error
  // Its span on CLOCK_MONOTONIC, in microseconds: from the graph's start to
  // its stop (0 while it goes on).
  std::int64_t recordingStartUs = 0;
  std::int64_t recordingEndUs = 0;
  std::int64_t recordingZeroUs = 0;  // the file's time zero, within half a frame of the start
};

// The counters of a graph made by CurrentPlatform() of this back end; false
// (and `stats` untouched) for any other graph.
bool ReadGraphStats(const FilterGraph& graph, GraphStats& stats);

namespace linux_backend {

// A camera's source filter as the graph streams from it: the V4L2 filter
// and the node it was opened on.
class CameraSourceFilter final : public Filter {
 public:
  CameraSourceFilter(std::shared_ptr<Filter> device, std::string node)
      : device_(std::move(device)), node_(std::move(node)) {}
  Status EnumPins(std::unique_ptr<PinEnumerator>& pins) override { return device_->EnumPins(pins); }
  Status QueryVideoProcAmp(std::shared_ptr<VideoProcAmp>& procAmp) override {
    return device_->QueryVideoProcAmp(procAmp);
  }
  const std::string& node() const { return node_; }

 private:
  std::shared_ptr<Filter> device_;
  std::string node_;
};

// A microphone's source filter: the sound server's source it names.
class MicrophoneSourceFilter : public Filter {
 public:
  virtual const std::string& sourceName() const = 0;
};

Status CreateLinuxFilterGraph(std::shared_ptr<FilterGraph>& graph);
Status CreateLinuxCaptureGraphBuilder(std::shared_ptr<CaptureGraphBuilder>& builder);

}  // namespace linux_backend
}  // namespace kinovo::media
