#include "platform/media/stream/sound_level.h"

#include <algorithm>
#include <cstdlib>

namespace kinovo::media::stream {

int PeakOf(std::span<const std::int16_t> samples) {
  int peak = 0;
  for (const std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  return peak;
}

void SoundLevel::Feed(std::span<const std::int16_t> samples, int channels, int rate) {
  if (channels <= 0 || rate <= 0 || samples.empty()) return;
  if (IsSilentPeak(PeakOf(samples))) {
    silentFrames_ += samples.size() / static_cast<std::size_t>(channels);
  } else {
    silentFrames_ = 0;
    heard_.store(true, std::memory_order_relaxed);
  }
  silenceMs_.store(
      static_cast<std::int64_t>(silentFrames_ * 1000 / static_cast<std::uint64_t>(rate)),
      std::memory_order_relaxed);
}

}  // namespace kinovo::media::stream
