// The video window on the real X display (scripts/with-services.sh): what
// the X server shows, and where a real pointer click goes.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMouseEvent>
#include <QScreen>
#include <QWindow>
#include <cstdlib>
#include <functional>

#include "platform/media/stream/frame_renderer.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

using media::stream::FrameRenderer;

void Settle(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

// The window beneath the picture, which gets all pointer input.
class Drain : public QWidget {
 public:
  int presses = 0;
  int moves = 0;

 protected:
  void mousePressEvent(QMouseEvent*) override { ++presses; }
  void mouseMoveEvent(QMouseEvent*) override { ++moves; }
};

void ExpectQuadrants(const QImage& picture, int tolerance) {
  ASSERT_FALSE(picture.isNull());
  const Quadrants q;
  const int w = picture.width(), h = picture.height();
  for (const auto& [x, y] : {std::pair{w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}}) {
    EXPECT_TRUE(Near(picture.pixelColor(x, y), q.At(x, y, w, h), tolerance))
        << "at " << x << "," << y << ": " << picture.pixelColor(x, y).name().toStdString();
  }
}

TEST(FrameRendererOnScreen, ShowsThePictureLetsClicksThroughAndGrabsAtANewSize) {
  Drain window;
  window.setWindowTitle("stream display test");
  window.resize(640, 360);
  window.setMouseTracking(true);  // it follows the pointer to show its buttons
  auto* renderer = new FrameRenderer(&window);
  renderer->setGeometry(0, 0, 640, 360);
  window.show();
  ASSERT_TRUE(WaitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }));

  renderer->Present(JpegFrame(EncodeJpeg(QuadrantImage(1280, 720)), 1280, 720));
  ASSERT_TRUE(WaitFor([&] { return renderer->stats().decoded == 1; }));
  Settle(300);

  // What the X server has on screen.
  const QImage onScreen = window.screen()->grabWindow(window.winId()).toImage();
  ASSERT_EQ(onScreen.size(), QSize(640, 360));
  ExpectQuadrants(onScreen, 16);

  // The pointer over the picture is over the window beneath: it sees the
  // moves and gets the clicks (the message drain).
  const QPoint centre = window.mapToGlobal(QPoint(320, 180));
  EXPECT_EQ(QApplication::widgetAt(centre), &window);
  const auto at = [](QPoint p) { return std::to_string(p.x()) + " " + std::to_string(p.y()); };
  ASSERT_EQ(RunCommand("xdotool mousemove " + at(centre - QPoint(40, 20))).first, 0);
  ASSERT_EQ(RunCommand("xdotool mousemove " + at(centre) + " click 1").first, 0);
  EXPECT_TRUE(WaitFor([&] { return window.presses == 1 && window.moves > 0; }, 5000))
      << window.presses << " clicks and " << window.moves << " moves reached the window";

  // Grown to the camera's size, as for a photo.
  renderer->resize(1280, 720);
  const QImage grabbed = renderer->grab().toImage();
  EXPECT_EQ(grabbed.size(), QSize(1280, 720));
  ExpectQuadrants(grabbed, 14);
}

QImage Solid(QColor colour) {
  QImage image(640, 360, QImage::Format_RGB888);
  image.fill(colour);
  return image;
}

// Minimised, or covered by an opaque widget of its window, the video window
// decodes nothing; back on screen it shows the newest frame.
TEST(FrameRendererOnScreen, DecodesNothingWhileMinimisedOrCovered) {
  QWidget window;
  window.setWindowTitle("stream display test: hidden");
  window.resize(640, 360);
  auto* renderer = new FrameRenderer(&window);
  renderer->setGeometry(0, 0, 640, 360);
  window.show();
  ASSERT_TRUE(WaitFor([&] { return window.windowHandle() && window.windowHandle()->isExposed(); }));
  renderer->Present(JpegFrame(EncodeJpeg(Solid(Qt::red)), 640, 360));
  ASSERT_TRUE(WaitFor([&] { return renderer->stats().decoded == 1; }));
  Settle(200);

  // Frames keep coming (like the camera's) while the window is away.
  const auto feedWhile = [&](QColor colour, int ms) {
    const auto frame = JpegFrame(EncodeJpeg(Solid(colour)), 640, 360);
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
      renderer->Present(frame);
      Settle(33);
    }
  };

  window.showMinimized();
  ASSERT_TRUE(WaitFor([&] { return !window.windowHandle()->isExposed(); }));
  const std::uint64_t beforeMinimised = renderer->stats().decoded;
  feedWhile(Qt::green, 1000);
  // One frame may have been on its way when the window went.
  const std::uint64_t whileMinimised = renderer->stats().decoded;
  EXPECT_LE(whileMinimised, beforeMinimised + 1);

  window.showNormal();
  ASSERT_TRUE(WaitFor([&] { return window.windowHandle()->isExposed(); }));
  ASSERT_TRUE(WaitFor([&] { return renderer->stats().decoded > whileMinimised; }));
  Settle(300);
  EXPECT_TRUE(Near(window.screen()->grabWindow(window.winId()).toImage().pixelColor(320, 180), Qt::green, 16));

  auto* cover = new QWidget(&window);
  cover->setAttribute(Qt::WA_OpaquePaintEvent);
  cover->setAutoFillBackground(true);
  cover->setGeometry(0, 0, 640, 360);
  cover->show();
  Settle(300);
  const std::uint64_t beforeCovered = renderer->stats().decoded;
  feedWhile(Qt::blue, 1000);
  const std::uint64_t whileCovered = renderer->stats().decoded;
  EXPECT_LE(whileCovered, beforeCovered + 1);

  delete cover;
  ASSERT_TRUE(WaitFor([&] { return renderer->stats().decoded > whileCovered; }));
  Settle(300);
  EXPECT_TRUE(Near(window.screen()->grabWindow(window.winId()).toImage().pixelColor(320, 180), Qt::blue, 16));
}

}  // namespace
}  // namespace kinovo::streamtest

// Qt, not built with ThreadSanitizer, hands objects between threads (posted
// events, its image-scaling thread pool) through atomics the sanitizer
// does not see.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6Core.so\nrace:libQt6Gui.so\nrace:libQt6Widgets.so\nrace:libQt6XcbQpa.so\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!std::getenv("DISPLAY")) {
    std::fprintf(stderr, "no DISPLAY: run inside scripts/with-services.sh\n");
    return 1;
  }
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
