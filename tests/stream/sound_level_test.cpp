// The sound check: what counts as silence, and when a silence lasts long
// enough to show.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/media/stream/sound_level.h"

namespace kinovo::streamtest {
namespace {

using namespace std::chrono_literals;
using media::stream::SoundLevel;

constexpr int kRate = 48000;
constexpr int kChunkFrames = kRate / 50;  // 20 ms, as the microphone hands them over

// A 440 Hz tone of `channels` whose peak lies at `dbfs` (none: zeros).
std::vector<std::int16_t> Tone(double dbfs, int channels, int frames = kChunkFrames) {
  const double amplitude = std::isinf(dbfs) ? 0.0 : 32768.0 * std::pow(10.0, dbfs / 20.0);
  std::vector<std::int16_t> samples;
  for (int i = 0; i < frames; ++i) {
    const double v =
        std::round(amplitude * std::sin(2 * M_PI * 440.0 * (i + 0.25 * kRate / 440.0) / kRate));
    for (int c = 0; c < channels; ++c)
      samples.push_back(static_cast<std::int16_t>(std::clamp(v, -32768.0, 32767.0)));
  }
  return samples;
}

struct LevelCase {
  std::string name;
  double dbfs;
  int channels;
  bool heard;
};

class SoundCheck : public ::testing::TestWithParam<LevelCase> {};

// Two seconds of one level: the microphone counts as silent below -60 dBFS,
// and the silence is as long as the sound.
TEST_P(SoundCheck, TellsSilenceFromSound) {
  const LevelCase& c = GetParam();
  SoundLevel level;
  const std::vector<std::int16_t> chunk = Tone(c.dbfs, c.channels);
  for (int i = 0; i < 100; ++i) level.Feed(chunk, c.channels, kRate);
  EXPECT_EQ(level.heard(), c.heard);
  EXPECT_EQ(level.silence(), c.heard ? 0ms : 2000ms);
}

INSTANTIATE_TEST_SUITE_P(Levels, SoundCheck,
                         ::testing::Values(LevelCase{"Zeros", -INFINITY, 1, false},
                                           LevelCase{"Minus70dBFS", -70, 1, false},
                                           LevelCase{"Minus61dBFSStereo", -61, 2, false},
                                           LevelCase{"Minus59dBFS", -59, 1, true},
                                           LevelCase{"Minus50dBFS", -50, 1, true},
                                           LevelCase{"FullScaleSine", 0, 2, true}),
                         [](const auto& info) { return info.param.name; });

// The "no sound" look comes after more than three seconds of silence and
// goes with the first sound.
TEST(SoundCheck, NoSoundLookAfterThreeSecondsOfSilence) {
  SoundLevel level;
  const std::vector<std::int16_t> quiet = Tone(-70, 1), loud = Tone(-20, 1);
  level.Feed(loud, 1, kRate);
  for (int i = 0; i < 150; ++i) level.Feed(quiet, 1, kRate);
  EXPECT_EQ(level.silence(), 3000ms);
  EXPECT_FALSE(media::stream::ShowsNoSound(level.silence()));
  level.Feed(quiet, 1, kRate);
  EXPECT_TRUE(media::stream::ShowsNoSound(level.silence()));
  level.Feed(loud, 1, kRate);
  EXPECT_FALSE(media::stream::ShowsNoSound(level.silence()));
  EXPECT_TRUE(level.heard());
}

}  // namespace
}  // namespace kinovo::streamtest
