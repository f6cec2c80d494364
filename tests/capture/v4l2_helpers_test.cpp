#include <gtest/gtest.h>

#include "platform/media/linux/v4l2_formats.h"

namespace kinovo::media::linux_backend {
namespace {

TEST(V4l2Formats, PixelFormatsGoByTheirAviNames) {
  const std::pair<std::uint32_t, const char*> cases[] = {
      {pixfmt::kYUYV, "YUY2"},        {pixfmt::kUYVY, "UYVY"},   {pixfmt::kYVU420, "YV12"},
      {pixfmt::kYUV420, "IYUV"},      {pixfmt::kBGR24, "RGB24"}, {pixfmt::kXBGR32, "RGB32"},
      {pixfmt::kBGR32, "RGB32"},      {pixfmt::kMJPEG, "MJPG"},  {pixfmt::kJPEG, "MJPG"},
      {pixfmt::kMPEG, "MPEG2_VIDEO"}, {pixfmt::kNV12, "NV12"},   {pixfmt::kY16, "Y16"},
      {0x01020304, "0x01020304"},
  };
  for (const auto& [format, name] : cases) EXPECT_EQ(stream::PixelFormatName(format), name);
}

TEST(V4l2Formats, IntervalsRoundDownSoTheRateComesBack) {
  struct Case {
    std::uint32_t num, den;
    std::int64_t units;
    std::int64_t fps;
  };
  const Case cases[] = {
      {1, 30, 333333, 30},   {1, 15, 666666, 15},        {2, 15, 1333333, 7},
      {1, 25, 400000, 25},   {1001, 30000, 333666, 29},  {1, 60, 166666, 60},
      {2, 1, 20000000, 0},   {0, 30, 0, 0},              {1, 0, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IntervalToUnits(c.num, c.den), c.units) << c.num << "/" << c.den;
    EXPECT_EQ(FpsOfInterval(IntervalToUnits(c.num, c.den)), c.fps) << c.num << "/" << c.den;
  }
}

TEST(V4l2Formats, StepwiseRangesOfferCommonSizesOnTheirGridAndTheirLargest) {
  const std::vector<Size> grid8 = SizesInRange({160, 120}, {1920, 1080}, {8, 8});
  const std::vector<Size> expected8{
      {160, 120},  {176, 144},  {320, 240},  {352, 288},  {424, 240},   {640, 360},
      {640, 480},  {848, 480},  {800, 600},  {1024, 576}, {1024, 768},  {1280, 720},
      {1280, 800}, {1280, 960}, {1280, 1024}, {1920, 1080}};
  EXPECT_EQ(grid8, expected8);

  // A largest size that is no common one is still offered, last.
  const std::vector<Size> odd = SizesInRange({320, 240}, {1000, 700}, {20, 20});
  const std::vector<Size> expectedOdd{{320, 240}, {640, 360}, {640, 480},
                                        {800, 600}, {960, 540}, {1000, 700}};
  EXPECT_EQ(odd, expectedOdd);

  // A range holding no common size offers its largest.
  EXPECT_EQ(SizesInRange({2, 2}, {100, 60}, {2, 2}), (std::vector<Size>{{100, 60}}));
  EXPECT_TRUE(SizesInRange({0, 0}, {640, 480}, {1, 1}).empty());
  EXPECT_TRUE(SizesInRange({640, 480}, {320, 240}, {1, 1}).empty());
}

TEST(V4l2Formats, FrameBytesByTheFormatsOwnArithmetic) {
  EXPECT_EQ(stream::FrameBytesByArithmetic(pixfmt::kYUYV, 640, 480), 614400);
  EXPECT_EQ(stream::FrameBytesByArithmetic(pixfmt::kNV12, 640, 480), 460800);
  EXPECT_EQ(stream::FrameBytesByArithmetic(pixfmt::kYUV420, 3, 3), 9 + 2 * 4);
  EXPECT_EQ(stream::FrameBytesByArithmetic(pixfmt::kBGR24, 10, 10), 300);
  EXPECT_EQ(stream::FrameBytesByArithmetic(pixfmt::kXBGR32, 10, 10), 400);
  EXPECT_FALSE(stream::FrameBytesByArithmetic(pixfmt::kMJPEG, 640, 480));
  EXPECT_FALSE(stream::FrameBytesByArithmetic(pixfmt::kYUYV, 0, 480));
}

}  // namespace
}  // namespace kinovo::media::linux_backend
