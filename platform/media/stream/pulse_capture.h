#pragma once

// Records from one PulseAudio source (PipeWire desktops serve the same
// protocol) as signed 16-bit little-endian samples at the source's own rate
// and channel count. The sound server's client thread hands each chunk to
// every connected sink; sinks must not block.
//
// Timestamps: each chunk carries the CLOCK_MONOTONIC time of its first
// sample, read from the stream's timing information at the moment the chunk
// is taken (now minus the stream's latency, which covers the source's own
// latency and everything buffered on the way, and at least minus the sound
// still waiting to be read), and the index of its first sample frame since
// recording began. The time is unbiased but jitters by
// the server's scheduling; the index is exact but runs on the sound card's
// clock. Consumers that need both (the file writer's drift correction)
// take the index for continuity and average the times.
//
// Start and Stop are called from one controlling thread, never from a
// callback (the client thread would wait for itself); the rest from any.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>

#include "platform/media/stream/frame.h"
#include "platform/media/stream/sink_list.h"

namespace kinovo::media::stream {

// Error codes of the PulseAudio client library (PA_ERR_*), with its messages.
const std::error_category& PulseCategory();

// The codes callers tell apart.
namespace pulse_errc {
inline constexpr int kNoEntity = 5;           // no such source
inline constexpr int kConnectionRefused = 6;  // no server
inline constexpr int kTimeout = 8;            // the server did not answer in time
inline constexpr int kConnectionTerminated = 11;
inline constexpr int kKilled = 12;            // the stream was taken away (its source went)
}  // namespace pulse_errc

class PulseCapture {
 public:
  struct Options {
    std::string server;  // empty: the default server (PULSE_SERVER, the session's)
    // How long connecting, looking the source up and starting the stream may
    // take in all; a server that does not answer fails with PA_ERR_TIMEOUT.
    std::chrono::milliseconds timeout{3000};
    std::chrono::milliseconds chunk{20};  // requested chunk length
  };

  enum class State {
    Idle,       // not recording
    Recording,  // chunks arrive
    Ended,      // the source or the server went away; endError() tells
  };

  struct Stats {
    std::uint64_t framesDelivered = 0;  // sample frames, holes filled with silence included
    std::uint64_t chunks = 0;
    std::uint64_t overflows = 0;  // times the server dropped samples we did not read in time
  };

  PulseCapture();
  ~PulseCapture();  // Stop()
  PulseCapture(const PulseCapture&) = delete;
  PulseCapture& operator=(const PulseCapture&) = delete;

  // Connects, reads the source's sample rate and channel count and starts
  // recording. No server gives PA_ERR_CONNECTIONREFUSED (or the library's
  // own connection error), an unknown source PA_ERR_NOENTITY, a server that
  // does not answer PA_ERR_TIMEOUT; never an endless wait.
  std::error_code Start(const std::string& sourceName, const Options& options);
  std::error_code Start(const std::string& sourceName) { return Start(sourceName, Options{}); }
  // Disconnects; no callback runs once it returns.
  void Stop();

  // Waits until the sound captured up to `untilUs` (CLOCK_MONOTONIC) has
  // been handed to the sinks, the recording has ended, or `timeout` has
  // passed; true in the first case. The sound server hands sound over a
  // chunk at a time and some way behind: a recording that stops takes
  // what was said just before the stop this way. Timestamps err late, so
  // it waits for a chunk's length more.
  bool WaitDelivered(std::int64_t untilUs, std::chrono::milliseconds timeout);

  std::int32_t rate() const;
  std::int32_t channels() const;

  [[nodiscard]] Connection Connect(std::function<void(const AudioChunkPtr&)> onChunk);
  // Runs on the client thread when recording ends on its own.
  [[nodiscard]] Connection ConnectEnded(std::function<void(const std::error_code&)> onEnded);

  State state() const;
  std::error_code endError() const;
  // Once Ended: the capture time (CLOCK_MONOTONIC) up to which sound came.
  std::int64_t endedAtUs() const;
  Stats stats() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kinovo::media::stream
