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
constexpr std::int64_t kChunkUs = 20000;
constexpr std::int64_t kStartUs = 5'000'000;

// Feeds `count` chunks captured one after the other from `fromUs` on; the
// time after them.
std::int64_t FeedChunks(SoundLevel& level, const std::vector<std::int16_t>& chunk, int channels,
                        int count, std::int64_t fromUs) {
  for (int i = 0; i < count; ++i, fromUs += kChunkUs) level.Feed(chunk, channels, kRate, fromUs);
  return fromUs;
}

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
  SoundLevel level(kStartUs);
  FeedChunks(level, Tone(c.dbfs, c.channels), c.channels, 100, kStartUs);
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
  SoundLevel level(kStartUs);
  const std::vector<std::int16_t> quiet = Tone(-70, 1), loud = Tone(-20, 1);
  std::int64_t at = FeedChunks(level, loud, 1, 1, kStartUs);
  at = FeedChunks(level, quiet, 1, 150, at);
  EXPECT_EQ(level.silence(), 3000ms);
  EXPECT_FALSE(media::stream::ShowsNoSound(level.silence()));
  at = FeedChunks(level, quiet, 1, 1, at);
  EXPECT_TRUE(media::stream::ShowsNoSound(level.silence()));
  FeedChunks(level, loud, 1, 1, at);
  EXPECT_FALSE(media::stream::ShowsNoSound(level.silence()));
  EXPECT_TRUE(level.heard());
}

// A source that starts hands over what it captured before the recording
// began all at once: that backlog is not silence of the recording.
TEST(SoundCheck, BacklogFromBeforeTheStartDoesNotCount) {
  SoundLevel level(kStartUs);
  const std::vector<std::int16_t> quiet = Tone(-INFINITY, 1);
  std::int64_t at = FeedChunks(level, quiet, 1, 100, kStartUs - 2'000'000);
  EXPECT_EQ(level.silence(), 0ms);
  FeedChunks(level, quiet, 1, 150, at);
  EXPECT_EQ(level.silence(), 3000ms);
  EXPECT_FALSE(level.heard());
}

}  // namespace
}  // namespace kinovo::streamtest
