// Frames decoded for a photo: pixel for pixel what an exact decode of the
// frame's bytes gives.

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <QRandomGenerator>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/media/stream/still_decoder.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

using media::stream::DecodeStill;
namespace fourcc = media::stream::fourcc;

// Fine detail everywhere: the fast and the accurate transforms differ on it.
QImage Detailed(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  QRandomGenerator random(7);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      const int noise = static_cast<int>(random.bounded(64));
      row[x] = qRgb((x * 255 / width + noise) % 256, (y * 255 / height + 2 * noise) % 256,
                    (x + y + 3 * noise) % 256);
    }
  }
  return image;
}

// Pixels whose colour differs by more than `tolerance` in a channel.
int Differences(const QImage& got, const QImage& want, int tolerance = 0) {
  int count = 0;
  for (int y = 0; y < want.height(); ++y) {
    for (int x = 0; x < want.width(); ++x) {
      const QRgb a = got.pixel(x, y), b = want.pixel(x, y);
      if (std::abs(qRed(a) - qRed(b)) > tolerance || std::abs(qGreen(a) - qGreen(b)) > tolerance ||
          std::abs(qBlue(a) - qBlue(b)) > tolerance) {
        ++count;
      }
    }
  }
  return count;
}

TEST(DecodeStill, JpegIsTheAccurateDecodePixelForPixel) {
  const QImage source = Detailed(1280, 720);
  for (const int subsampling : {TJSAMP_422, TJSAMP_420, TJSAMP_444, TJSAMP_GRAY}) {
    SCOPED_TRACE("subsampling " + std::to_string(subsampling));
    const auto jpeg = EncodeJpeg(source, 90, subsampling);
    std::string why;
    const QImage picture = DecodeStill(*JpegFrame(jpeg, 1280, 720), {}, &why);
    ASSERT_EQ(picture.size(), QSize(1280, 720)) << why;
    EXPECT_EQ(Differences(picture, AccurateJpeg(jpeg.data(), jpeg.size())), 0);
  }
}

struct RawCase {
  const char* name;
  std::uint32_t pixelFormat;
  int bytesPerLine;
};

// Flat quadrants meeting on even rows and columns: every 4:2:0 block has
// one colour, so each pixel comes back within the rounding of BT.601.
TEST(DecodeStill, RawFormatsGiveEveryPixelItsColour) {
  const RawCase cases[] = {
      {"YUYV", fourcc::kYUYV, 0},
      {"YUYV, padded rows", fourcc::kYUYV, 160 * 2 + 64},
      {"UYVY", fourcc::kUYVY, 0},
      {"YU12", fourcc::kYUV420, 0},
      {"YV12", fourcc::kYVU420, 0},
      {"YV12, padded rows", fourcc::kYVU420, 192},
      {"NV12", fourcc::kNV12, 0},
      {"NV21", fourcc::kNV21, 0},
      {"BGR3 (swscale)", fourcc::kBGR24, 0},
  };
  const QImage source = QuadrantImage(160, 120);
  for (const RawCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    const QImage picture = DecodeStill(*RawFrame(source, c.pixelFormat, c.bytesPerLine), {}, &why);
    ASSERT_EQ(picture.size(), source.size()) << why;
    EXPECT_EQ(Differences(picture, source, 3), 0);
  }
}

TEST(DecodeStill, AnotherSizeIsScaledTo) {
  const QImage source = QuadrantImage(640, 480);
  const QImage picture = DecodeStill(*RawFrame(source, fourcc::kYUYV), {1024, 768});
  ASSERT_EQ(picture.size(), QSize(1024, 768));
  const Quadrants q;
  for (const auto& [x, y] : {std::pair{100, 100}, {900, 100}, {100, 700}, {900, 700}}) {
    EXPECT_TRUE(Near(picture.pixelColor(x, y), q.At(x, y, 1024, 768), 4)) << x << "," << y;
  }
}

TEST(DecodeStill, DamagedFramesGiveNoPictureAndSayWhy) {
  const auto jpeg = EncodeJpeg(QuadrantImage(640, 480));
  auto shortRaw = media::stream::VideoFrame::Create(1000);
  shortRaw->format = {fourcc::kYUYV, 640, 480, 1280, {1, 30}};
  std::vector<std::uint8_t> garbage(4000, 0x42);
  const struct {
    const char* name;
    media::stream::VideoFramePtr frame;
    const char* words;
  } cases[] = {
      {"JPEG larger than its mode", JpegFrame(jpeg, 320, 240),
       "a JPEG of 640x480 in a mode of 320x240"},
      {"no JPEG at all", JpegFrame(garbage, 640, 480), "tjDecompressHeader3 failed"},
      {"raw frame cut short", shortRaw, "a frame of 1000 bytes for YUY2 640x480"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string why;
    EXPECT_TRUE(DecodeStill(*c.frame, {}, &why).isNull());
    EXPECT_NE(why.find(c.words), std::string::npos) << why;
  }
}

}  // namespace
}  // namespace kinovo::streamtest
