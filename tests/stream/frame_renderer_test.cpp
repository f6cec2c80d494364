// The video window on Qt's offscreen platform.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <functional>

#include "platform/media/stream/frame_renderer.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

using media::stream::FrameRenderer;

bool Settled(const FrameRenderer& renderer) {
  const auto s = renderer.stats();
  return s.decoded + s.dropped + s.failed == s.presented;
}

QImage Solid(QColor colour) {
  QImage image(1920, 1080, QImage::Format_RGB888);
  image.fill(colour);
  return image;
}

bool AllPixels(const QImage& image, QColor colour, int tolerance = 12) {
  for (int y = 0; y < image.height(); y += 7) {
    for (int x = 0; x < image.width(); x += 7) {
      if (!Near(image.pixelColor(x, y), colour, tolerance)) return false;
    }
  }
  return true;
}

// Frames come faster than they can be decoded: the newest is shown, the
// ones it overtook are dropped and counted, and Present() never waits.
TEST(FrameRenderer, TheNewestFrameWinsAndOvertakenOnesAreCounted) {
  std::vector<media::stream::VideoFramePtr> frames;
  std::vector<QColor> colours;
  for (int i = 0; i < 12; ++i) {
    colours.emplace_back(20 * i, 255 - 20 * i, 128);
    frames.push_back(JpegFrame(EncodeJpeg(Solid(colours.back())), 1920, 1080));
  }
  FrameRenderer renderer;
  renderer.resize(480, 270);
  renderer.show();
  for (const auto& frame : frames) renderer.Present(frame);
  ASSERT_TRUE(WaitFor([&] { return Settled(renderer); }));

  const auto stats = renderer.stats();
  EXPECT_EQ(stats.presented, frames.size());
  EXPECT_GT(stats.dropped, 0u);
  EXPECT_EQ(stats.failed, 0u);
  const QImage shown = renderer.grab().toImage();
  EXPECT_EQ(shown.size(), QSize(480, 270));
  EXPECT_TRUE(AllPixels(shown, colours.back()));
}

// Grown to the camera's size (as for a photo), the window shows the frame
// decoded at that size, not the small preview picture blown up.
TEST(FrameRenderer, GrabAtANewSizeGivesASharpPictureOfThatSize) {
  QImage source = QuadrantImage(1920, 1080);
  for (int y = 100; y < 200; ++y) {
    for (int x = 100; x < 400; ++x) source.setPixelColor(x, y, (x / 2) % 2 ? Qt::white : Qt::black);
  }
  const auto frame = JpegFrame(EncodeJpeg(source, 95), 1920, 1080);
  FrameRenderer renderer;
  renderer.resize(480, 270);
  renderer.show();
  renderer.Present(frame);
  ASSERT_TRUE(WaitFor([&] { return renderer.stats().decoded == 1; }));

  renderer.resize(1920, 1080);
  const QImage shown = renderer.grab().toImage();
  ASSERT_EQ(shown.size(), QSize(1920, 1080));
  const Quadrants q;
  EXPECT_TRUE(Near(shown.pixelColor(1440, 270), q.topRight));
  EXPECT_TRUE(Near(shown.pixelColor(480, 810), q.bottomLeft));
  int darkest = 255, brightest = 0;
  for (int x = 200; x < 260; ++x) {
    const int luma = qGray(shown.pixel(x, 150));
    darkest = std::min(darkest, luma);
    brightest = std::max(brightest, luma);
  }
  EXPECT_GT(brightest - darkest, 150) << "two-pixel stripes came out blurred";
}

TEST(FrameRenderer, IsBlackWithoutAPictureAndKeepsTheLastGoodOne) {
  FrameRenderer renderer;
  renderer.resize(320, 180);
  renderer.show();
  EXPECT_TRUE(AllPixels(renderer.grab().toImage(), Qt::black, 0));

  const QColor colour(40, 160, 220);
  renderer.Present(JpegFrame(EncodeJpeg(Solid(colour)), 1920, 1080));
  ASSERT_TRUE(WaitFor([&] { return renderer.stats().decoded == 1; }));
  auto garbage = media::stream::VideoFrame::Create(4096);
  std::fill(garbage->bytes().begin(), garbage->bytes().end(), 0x33);
  garbage->format = {media::stream::fourcc::kMJPEG, 1920, 1080, 0, {1, 30}};
  renderer.Present(garbage);
  ASSERT_TRUE(WaitFor([&] { return renderer.stats().failed == 1; }));
  EXPECT_TRUE(AllPixels(renderer.grab().toImage(), colour));

  renderer.Clear();
  EXPECT_TRUE(AllPixels(renderer.grab().toImage(), Qt::black, 0));
}

// A window that cannot be seen decodes nothing; shown again, it decodes the
// newest frame at once.
TEST(FrameRenderer, DecodesNothingWhileHiddenAndTheNewestFrameWhenShownAgain) {
  const QColor first(200, 40, 40), later(40, 40, 200);
  FrameRenderer renderer;
  renderer.resize(320, 180);
  renderer.Present(JpegFrame(EncodeJpeg(Solid(first)), 1920, 1080));
  QCoreApplication::processEvents();
  EXPECT_EQ(renderer.stats().decoded, 0u) << "decoded before it was ever shown";

  renderer.show();
  ASSERT_TRUE(WaitFor([&] { return renderer.stats().decoded == 1; }));
  renderer.hide();
  for (int i = 0; i < 5; ++i) renderer.Present(JpegFrame(EncodeJpeg(Solid(later)), 1920, 1080));
  ASSERT_FALSE(WaitFor([&] { return renderer.stats().decoded > 1; }, 500));
  EXPECT_EQ(renderer.stats().dropped, 4u);

  renderer.show();
  ASSERT_TRUE(WaitFor([&] { return renderer.stats().decoded == 2; }));
  EXPECT_TRUE(WaitFor([&] { return Settled(renderer); }));
  EXPECT_TRUE(AllPixels(renderer.grab().toImage(), later));
}

}  // namespace
}  // namespace kinovo::streamtest
