#include "platform/media/stream/sound_level.h"

#include <algorithm>
#include <cstdlib>

namespace kinovo::media::stream {

int PeakOf(std::span<const std::int16_t> samples) {
  int peak = 0;
  for (const std::int16_t s : samples) peak = std::max(peak, std::abs(static_cast<int>(s)));
  return peak;
}

void SoundLevel::Feed(std::span<const std::int16_t> samples, int channels, int rate,
                      std::int64_t firstSampleUs) {
  if (channels <= 0 || rate <= 0 || samples.empty()) return;
  const auto frames = static_cast<std::int64_t>(samples.size()) / channels;
  const std::int64_t endUs = firstSampleUs + frames * 1000000 / rate;
  if (!IsSilentPeak(PeakOf(samples))) {
    silentFromUs_ = std::max(endUs, startUs_);
    heard_.store(true, std::memory_order_relaxed);
  }
  silenceMs_.store(std::max<std::int64_t>(0, endUs - silentFromUs_) / 1000,
                   std::memory_order_relaxed);
}

}  // namespace kinovo::media::stream
