#pragma once

// Memory-mapped V4L2 streaming from one camera node. A capture thread waits
// for frames, copies each one out of the driver's buffer into a pooled,
// reference-counted frame, hands the buffer back to the driver at once and
// then gives the frame to every connected sink. It never waits for a sink.
//
// Open, Start, Stop and Close are called from one controlling thread;
// Connect, state and stats from any thread.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "platform/media/linux/unique_fd.h"
#include "platform/media/stream/frame.h"
#include "platform/media/stream/sink_list.h"

namespace kinovo::media::stream {

class V4l2Capture {
 public:
  enum class State {
    Closed,      // nothing open
    Ready,       // format set, buffers mapped, not streaming
    Streaming,   // the capture thread runs
    DeviceLost,  // the device went away while streaming; the thread has ended
    Failed,      // streaming ended on another error; the thread has ended
  };

  struct Stats {
    std::uint64_t framesDelivered = 0;
    // Frames the camera failed to deliver, counted from gaps in the
    // driver's sequence numbers.
    std::uint64_t framesMissed = 0;
    // Frames the driver flagged as damaged (or empty); not delivered.
    std::uint64_t framesCorrupt = 0;
    // Silences of more than a few frame periods without an error (each
    // counted once, however long).
    std::uint64_t stalls = 0;
    // VIDIOC_DQBUF/VIDIOC_QBUF failures that were retried (a USB hiccup).
    std::uint64_t transientErrors = 0;

    // Adds another stream's counts, for totals over several streams.
    Stats& operator+=(const Stats& other) {
      framesDelivered += other.framesDelivered;
      framesMissed += other.framesMissed;
      framesCorrupt += other.framesCorrupt;
      stalls += other.stalls;
      transientErrors += other.transientErrors;
      return *this;
    }
  };

  static constexpr int kDefaultBufferCount = 4;

  V4l2Capture();
  ~V4l2Capture();  // Close()
  V4l2Capture(const V4l2Capture&) = delete;
  V4l2Capture& operator=(const V4l2Capture&) = delete;

  // Opens `node` and sets the pixel format, picture size and frame interval
  // (the driver may snap the size and interval to what it offers; format()
  // tells what it applied). A format the device does not offer is refused
  // with invalid_argument rather than streamed as something else.
  std::error_code Open(const std::string& node, const StreamFormat& request,
                       int bufferCount = kDefaultBufferCount);
  // The same on a descriptor opened elsewhere, which this object then owns.
  // Without a request the device's current format is used as it stands.
  std::error_code Open(linux_backend::UniqueFd fd, const std::optional<StreamFormat>& request,
                       int bufferCount = kDefaultBufferCount);

  // Queues the buffers, starts streaming and the capture thread.
  std::error_code Start();
  // Ends the capture thread (joined on return) and stops streaming; the
  // buffers stay mapped, so Start() can follow again.
  void Stop();
  // Stop(), unmaps and frees the buffers and closes the descriptor.
  void Close();

  // The device call whose failure made the last Open or Start fail, as
  // "VIDIOC_REQBUFS"; empty when it succeeded or failed before any call.
  // From the controlling thread.
  const std::string& failedCall() const;

  // The format as the driver applied it.
  StreamFormat format() const;

  // The callback runs on the capture thread for every good frame.
  [[nodiscard]] Connection Connect(std::function<void(const VideoFramePtr&)> onFrame);
  // The callback runs on the capture thread when streaming ends on its own
  // (device lost or failure), with the error that ended it.
  [[nodiscard]] Connection ConnectEnded(std::function<void(const std::error_code&)> onEnded);

  State state() const;
  // Why streaming ended on its own: ENODEV when the device went away.
  std::error_code endError() const;
  // True once the capture thread has ended on its own (not through Stop()).
  bool WaitUntilEnded(std::chrono::milliseconds timeout) const;
  Stats stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kinovo::media::stream
