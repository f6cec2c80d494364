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
  // The recording begins at `startUs` (CLOCK_MONOTONIC); before any Feed.
  explicit SoundLevel(std::int64_t startUs = 0) : silentFromUs_(startUs), startUs_(startUs) {}

  // From one thread at a time: interleaved samples of `channels` at `rate`,
  // the first captured at `firstSampleUs`.
  void Feed(std::span<const std::int16_t> samples, int channels, int rate,
            std::int64_t firstSampleUs);

  // Something louder than silence came.
  bool heard() const { return heard_.load(std::memory_order_relaxed); }
  // How long the recording's sound has been silent: since the end of the
  // last chunk that was not, or since the start. Counted by capture time,
  // so that a backlog handed over at once as a source starts (captured
  // before the recording began) does not count.
  std::chrono::milliseconds silence() const {
    return std::chrono::milliseconds(silenceMs_.load(std::memory_order_relaxed));
  }

 private:
  // The feeding thread's own.
  std::int64_t silentFromUs_;
  std::int64_t startUs_;
  std::atomic<bool> heard_{false};
  std::atomic<std::int64_t> silenceMs_{0};
};

}  // namespace kinovo::media::stream
