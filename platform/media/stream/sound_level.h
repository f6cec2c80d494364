#pragma once

// The sound check of a recording: whether its microphone gave anything
// louder than silence, and how long the latest silence has lasted. Fed
// where the samples pass, read from any thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>

namespace kinovo::media::stream {

// Peaks of at most this magnitude lie below -60 dBFS (32768 / 1000 = 32.8):
// a muted microphone, or only its noise floor.
inline constexpr int kSilentPeak = 32;
// Silence that lasts longer than this gives the microphone its "no sound" look.
inline constexpr std::chrono::milliseconds kNoSoundAfter{3000};

// The largest magnitude among `samples`.
int PeakOf(std::span<const std::int16_t> samples);
constexpr bool IsSilentPeak(int peak) { return peak <= kSilentPeak; }
constexpr bool ShowsNoSound(std::chrono::milliseconds silence) { return silence > kNoSoundAfter; }

class SoundLevel {
 public:
  // From one thread at a time: interleaved samples of `channels` at `rate`.
  void Feed(std::span<const std::int16_t> samples, int channels, int rate);

  // Something louder than silence came.
  bool heard() const { return heard_.load(std::memory_order_relaxed); }
  // The sound's length since the last chunk that was not silent (or since
  // the start), in the samples' own time.
  std::chrono::milliseconds silence() const {
    return std::chrono::milliseconds(silenceMs_.load(std::memory_order_relaxed));
  }

 private:
  std::uint64_t silentFrames_ = 0;  // the feeding thread's own
  std::atomic<bool> heard_{false};
  std::atomic<std::int64_t> silenceMs_{0};
};

}  // namespace kinovo::media::stream
