// Timing of recordings, played through on simulated clocks.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/media/stream/av_sync.h"

namespace kinovo::streamtest {
namespace {

using media::stream::AudioAligner;
using media::stream::AudioChunk;
using media::stream::Fraction;
using media::stream::VideoTimeline;

constexpr std::int64_t kStart = 5'000'000;

struct Expected {
  bool keep;
  std::int64_t slot;
  std::int64_t emptyBefore;
};

struct PlacementCase {
  std::string name;
  Fraction interval;
  std::vector<std::int64_t> offsetsUs;  // capture times after the start
  std::vector<Expected> expected;
  friend void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }
};

class VideoTimelineTest : public testing::TestWithParam<PlacementCase> {};

TEST_P(VideoTimelineTest, PlacesEachFrameInTheSlotNearestItsCaptureTime) {
  const PlacementCase& c = GetParam();
  VideoTimeline timeline(kStart, c.interval);
  ASSERT_EQ(c.offsetsUs.size(), c.expected.size());
  for (std::size_t i = 0; i < c.offsetsUs.size(); ++i) {
    const auto placed = timeline.Place(kStart + c.offsetsUs[i]);
    SCOPED_TRACE("frame " + std::to_string(i));
    EXPECT_EQ(placed.keep, c.expected[i].keep);
    if (!c.expected[i].keep) continue;
    EXPECT_EQ(placed.slot, c.expected[i].slot);
    EXPECT_EQ(placed.emptyBefore, c.expected[i].emptyBefore);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VideoTimelineTest,
    testing::Values(
        PlacementCase{"on_time", {1, 30}, {0, 33333, 66667}, {{true, 0, 0}, {true, 1, 0}, {true, 2, 0}}},
        PlacementCase{"jitter", {1, 30}, {9000, 33333 - 12000, 66667 + 14000},
                      {{true, 0, 0}, {true, 1, 0}, {true, 2, 0}}},
        PlacementCase{"camera_gap", {1, 30}, {0, 33333, 10 * 33333 + 5},
                      {{true, 0, 0}, {true, 1, 0}, {true, 10, 8}}},
        PlacementCase{"captured_before_start", {1, 30}, {-20000, -10000, 33333},
                      {{false, 0, 0}, {true, 0, 0}, {true, 1, 0}}},
        PlacementCase{"second_frame_for_a_slot", {1, 30}, {0, 12000, 33333},
                      {{true, 0, 0}, {false, 0, 0}, {true, 1, 0}}},
        PlacementCase{"late_first_frame", {1, 30}, {80000}, {{true, 2, 2}}},
        PlacementCase{"seven_and_a_half_fps", {2, 15}, {0, 133333, 400000},
                      {{true, 0, 0}, {true, 1, 0}, {true, 3, 1}}}),
    [](const auto& info) { return info.param.name; });

// A camera whose clock is 1 % off: the file keeps to the wall clock, never
// more than half a frame away, by leaving a frame out now and then (fast)
// or inserting an empty one (slow).
TEST(VideoTimeline, CameraOffItsNominalRateStaysWithinHalfAFrame) {
  for (const double fps : {30.3, 29.7}) {
    SCOPED_TRACE(fps);
    VideoTimeline timeline(kStart, {1, 30});
    std::int64_t kept = 0, empty = 0;
    const int frames = 10000;
    for (int i = 0; i < frames; ++i) {
      const auto t = kStart + static_cast<std::int64_t>(std::llround(i * 1e6 / fps));
      const auto placed = timeline.Place(t);
      if (!placed.keep) continue;
      ++kept;
      empty += placed.emptyBefore;
      EXPECT_LE(std::abs(placed.slot * 1e6 / 30 - static_cast<double>(t - kStart)), 1e6 / 60 + 1);
    }
    const double seconds = frames / fps;
    EXPECT_NEAR(static_cast<double>(timeline.length()), seconds * 30, 1.0);
    EXPECT_EQ(kept + empty, timeline.length());
    EXPECT_NEAR(static_cast<double>(frames - kept), fps > 30 ? frames * (1 - 30 / fps) : 0, 2.0);
  }
}

// Deterministic noise for the simulations.
class Noise {
 public:
  explicit Noise(std::uint64_t seed) : state_(seed) {}
  double Uniform(double lo, double hi) {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return lo + (hi - lo) * static_cast<double>(state_ >> 11) / 9007199254740992.0;
  }

 private:
  std::uint64_t state_;
};

struct DriftCase {
  std::string name;
  int nominalRate;
  double actualRate;  // the sound card's real rate, by the monotonic clock
  int channels;
  double jitterUs;    // timestamps late by up to this
  double outliers;    // share of chunks whose timestamp is 300 ms late
  friend void PrintTo(const DriftCase& c, std::ostream* os) { *os << c.name; }
};

class AudioDriftTest : public testing::TestWithParam<DriftCase> {};

// An hour of a microphone whose clock runs off its nominal rate, in chunks
// of varying size with jittery timestamps, against a 30 fps video of the
// same hour. Without correction 48 010 Hz would end 0.75 s (22 frames)
// ahead of the picture.
TEST_P(AudioDriftTest, SoundStaysWithinAFrameOfThePictureForAnHour) {
  const DriftCase& c = GetParam();
  const double hourUs = 3600e6;
  // The microphone was already running when the recording started.
  const double streamStartUs = kStart - 250000.0;
  auto trueTimeUs = [&](std::uint64_t frame) {
    return streamStartUs + static_cast<double>(frame) * 1e6 / c.actualRate;
  };

  AudioAligner aligner(kStart, c.nominalRate, c.channels);
  Noise noise(42);
  std::vector<std::int16_t> out;
  AudioChunk chunk;
  chunk.rate = c.nominalRate;
  chunk.channels = c.channels;
  std::uint64_t frame = 0;
  double worst = 0;
  while (trueTimeUs(frame) < kStart + hourUs) {
    const auto n = static_cast<std::size_t>(noise.Uniform(400, 1100));
    chunk.firstFrame = frame;
    const double late = noise.Uniform(0, 1) < c.outliers ? 300000 : noise.Uniform(0, c.jitterUs);
    chunk.timestampUs = static_cast<std::int64_t>(trueTimeUs(frame) + late);
    chunk.samples.assign(n * c.channels, 0);
    out.clear();
    const std::int64_t before = aligner.framesOut();
    aligner.Process(chunk, out);
    ASSERT_EQ(static_cast<std::int64_t>(out.size()), (aligner.framesOut() - before) * c.channels);
    frame += n;
    // Where the chunk's last sample landed in the file against where its
    // capture time puts it.
    const double ideal = (trueTimeUs(frame - 1) - kStart) * c.nominalRate / 1e6;
    const double error = static_cast<double>(aligner.framesOut() - 1) - ideal;
    if (trueTimeUs(frame) > kStart + 10e6) worst = std::max(worst, std::abs(error));
  }

  // The video of the same span, one frame every 1/30 s, as many as fit.
  VideoTimeline video(kStart, {1, 30});
  const double audioEndUs = trueTimeUs(frame);
  for (std::int64_t i = 0; kStart + (i + 0.5) * 1e6 / 30 < audioEndUs; ++i) {
    video.Place(kStart + static_cast<std::int64_t>(i * 1e6 / 30));
  }
  const double videoSeconds = video.length() / 30.0;
  const double audioSeconds = static_cast<double>(aligner.framesOut()) / c.nominalRate;
  EXPECT_LT(std::abs(audioSeconds - videoSeconds), 1.0 / 30);
  EXPECT_LT(worst / c.nominalRate, 0.01) << "worst error in the hour, seconds";

  // What was corrected is what the clocks drifted apart, and no more.
  const double drift = std::abs(c.actualRate - c.nominalRate) / c.actualRate * 3600 * c.nominalRate;
  const double corrected = c.actualRate > c.nominalRate
                               ? aligner.framesDropped() - 0.25 * c.nominalRate  // the early start
                               : static_cast<double>(aligner.framesInserted());
  EXPECT_NEAR(corrected, drift, 0.05 * drift + 0.01 * c.nominalRate);
}

INSTANTIATE_TEST_SUITE_P(Clocks, AudioDriftTest,
                         testing::Values(DriftCase{"fast_48010_of_48000", 48000, 48010, 1, 8000, 0},
                                         DriftCase{"slow_47990_of_48000", 48000, 47990, 1, 8000, 0},
                                         DriftCase{"stereo_44100_fast_by_0_1_percent", 44100, 44144.1, 2, 8000, 0},
                                         DriftCase{"exact_with_heavy_jitter", 48000, 48000, 1, 30000, 0},
                                         DriftCase{"fast_with_late_outliers", 48000, 48010, 1, 8000, 0.05}),
                         [](const auto& info) { return info.param.name; });

struct LossCase {
  std::string name;
  double lostSeconds;
  bool reported;         // the server said it dropped samples
  double settleSeconds;  // in step again after this
  friend void PrintTo(const LossCase& c, std::ostream* os) { *os << c.name; }
};

class AudioLossTest : public testing::TestWithParam<LossCase> {};

// Samples lost on the way: the time they covered becomes silence, at once
// when the server reports the loss (it does when it overruns our buffer;
// the sound after it is held back for a moment, as at a start),
// within about a second (the edge's window) when only the timestamps tell.
TEST_P(AudioLossTest, LostSamplesAreMadeUpWithSilence) {
  const LossCase& c = GetParam();
  const int rate = 48000;
  AudioAligner aligner(kStart, rate, 1);
  std::vector<std::int16_t> out;
  AudioChunk chunk;
  chunk.rate = rate;
  chunk.channels = 1;
  const std::size_t n = 960;  // 20 ms
  const int lossAt = 500;     // 10 s in
  double lostUs = 0;
  std::uint64_t frame = 0;
  double worstAfter = 0;
  for (int k = 0; k < 6000; ++k) {  // 120 s
    if (k == lossAt) lostUs = c.lostSeconds * 1e6;
    chunk.firstFrame = frame;
    chunk.timestampUs = kStart + static_cast<std::int64_t>(frame * 1e6 / rate + lostUs);
    chunk.discontinuity = k == lossAt && c.reported;
    chunk.samples.assign(n, 100);
    out.clear();
    aligner.Process(chunk, out);
    frame += n;
    const double ideal = ((frame - 1) * 1e6 / rate + lostUs) * rate / 1e6;
    const double error = static_cast<double>(aligner.framesOut() - 1) - ideal;
    if (k > lossAt + c.settleSeconds * 50) worstAfter = std::max(worstAfter, std::abs(error));
  }
  EXPECT_LT(worstAfter / rate, 0.005);
  EXPECT_NEAR(static_cast<double>(aligner.framesOut()), (120 + c.lostSeconds) * rate, rate * 0.005);
  EXPECT_NEAR(static_cast<double>(aligner.framesInserted()), c.lostSeconds * rate, rate * 0.005);
}

INSTANTIATE_TEST_SUITE_P(Losses, AudioLossTest,
                         testing::Values(LossCase{"half_a_second_reported", 0.5, true, 0.25},
                                         LossCase{"a_tenth_reported", 0.1, true, 0.25},
                                         LossCase{"a_tenth_unreported", 0.1, false, 1.5},
                                         LossCase{"half_a_second_unreported", 0.5, false, 1.5}),
                         [](const auto& info) { return info.param.name; });

// Feeds `count` mono 20 ms chunks at 48 kHz, chunk k stamped `lateUs(k)`
// after its capture time and filled with `value(k)`.
template <typename Late, typename Value>
void FeedChunks(AudioAligner& aligner, int count, Late lateUs, Value value,
                std::vector<std::int16_t>& out) {
  AudioChunk chunk;
  chunk.rate = 48000;
  chunk.channels = 1;
  for (int k = 0; k < count; ++k) {
    chunk.firstFrame = static_cast<std::uint64_t>(k) * 960;
    chunk.timestampUs = kStart + k * 20000 + lateUs(k);
    chunk.samples.assign(960, value(k));
    aligner.Process(chunk, out);
  }
}

// The first chunks of a stream come late and their timestamps err late by
// as much (the server's timing settles): the sound still starts where the
// later chunks put it, with no silence and nothing dropped.
TEST(AudioAligner, AStartLandsByTheLaterChunksNotByTheFirstLateOne) {
  AudioAligner aligner(kStart, 48000, 1);
  std::vector<std::int16_t> out;
  FeedChunks(
      aligner, 100, [](int k) { return k < 3 ? 30000 - k * 10000 : 0; },
      [](int k) { return static_cast<std::int16_t>(k + 1); }, out);
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front(), 1);
  EXPECT_EQ(aligner.framesOfSilence(), 0);
  EXPECT_EQ(aligner.framesDropped(), 0);
  EXPECT_EQ(aligner.framesOut(), 100 * 960);
}

// One chunk's timestamp far off (a late timing update, say) moves nothing.
TEST(AudioAligner, ASingleOutlyingTimestampIsIgnored) {
  AudioAligner aligner(kStart, 48000, 1);
  std::vector<std::int16_t> out;
  FeedChunks(
      aligner, 500, [](int k) { return k == 200 ? 150000 : 0; },
      [](int) { return std::int16_t{1}; }, out);
  EXPECT_EQ(aligner.framesInserted(), 0);
  EXPECT_EQ(aligner.framesDropped(), 0);
  EXPECT_EQ(aligner.framesOut(), 500 * 960);
}

AudioChunk Ramp(std::int64_t timestampUs, std::size_t frames) {
  AudioChunk chunk;
  chunk.rate = 48000;
  chunk.channels = 2;
  chunk.timestampUs = timestampUs;
  for (std::size_t i = 0; i < frames; ++i) {
    chunk.samples.push_back(static_cast<std::int16_t>(i));
    chunk.samples.push_back(static_cast<std::int16_t>(-static_cast<int>(i)));
  }
  return chunk;
}

TEST(AudioAligner, SoundCapturedBeforeTheStartIsLeftOut) {
  AudioAligner aligner(kStart, 48000, 2);
  std::vector<std::int16_t> out;
  aligner.Process(Ramp(kStart - 100000, 9600), out);  // 200 ms from 100 ms before the start
  ASSERT_EQ(out.size(), 2u * 4800);
  EXPECT_EQ(out[0], 4800);  // the first sample at or after the start
  EXPECT_EQ(out[1], -4800);
  EXPECT_EQ(aligner.framesDropped(), 4800);
}

TEST(AudioAligner, SoundStartingLateIsPrecededBySilence) {
  AudioAligner aligner(kStart, 48000, 2);
  std::vector<std::int16_t> out;
  aligner.Process(Ramp(kStart + 50000, 960), out);
  EXPECT_TRUE(out.empty()) << "a start is held back";
  aligner.Flush(out);
  ASSERT_EQ(out.size(), 2u * (2400 + 960));
  EXPECT_EQ(out[2 * 2399], 0);
  EXPECT_EQ(out[2 * 2400 + 2 * 5], 5);
  EXPECT_EQ(out[2 * 2400 + 2 * 5 + 1], -5);
  EXPECT_EQ(aligner.framesLeading(), 2400);
  EXPECT_EQ(aligner.framesOfSilence(), 0);
  EXPECT_EQ(aligner.gaps(), 0);
}

}  // namespace
}  // namespace kinovo::streamtest
