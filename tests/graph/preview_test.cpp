// The live picture: camera frames through the graph's video window into the
// picture's area of the main window, on the X display.

#include <QColor>
#include <QImage>
#include <chrono>
#include <cstdlib>

#include "capture/video_formats.h"
#include "graph_fixture.h"
#include "tests/stream/support.h"

namespace kinovo::graphtest {
namespace {

using streamtest::Quote;
using streamtest::RunCommand;

QImage Screenshot(const std::filesystem::path& file) {
  const auto [status, output] = RunCommand("import -window root " + Quote(file.string()));
  EXPECT_EQ(status, 0) << output;
  return QImage(QString::fromStdString(file.string()));
}

TEST_F(GraphTest, PreviewFramesReachTheVideoWindowAtTheCameraRate) {
  UseFormat(kMjpeg1080);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  QWidget* video = VideoWindow();
  ASSERT_TRUE(video) << "the renderer is not a child of the picture's area";
  EXPECT_EQ(video->geometry(), QRect(0, 0, 640, 361));
  EXPECT_TRUE(video->isVisible());
  EXPECT_TRUE(video->testAttribute(Qt::WA_TransparentForMouseEvents));

  const VcamDrops dropsBefore = VcamDropsSoFar();
  const auto start = std::chrono::steady_clock::now();
  Pump(2500ms);
  const QImage screen = Screenshot(OutDir() / "preview-screen.png");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  StopPreview(graph);
  const media::CaptureStats stats = Stats(graph);

  // Every frame of the camera went to the window, at the camera's pace: the
  // program never left the camera without a buffer. Slots the camera itself
  // woke too late for (a starved machine) are gaps too, but not ours; those
  // just before the stop show as no gap.
  const VcamDrops drops = VcamDropsSoFar();
  EXPECT_EQ(drops.starved - dropsBefore.starved, 0u);
  EXPECT_LE(stats.framesMissed, drops.late - dropsBefore.late);
  EXPECT_EQ(stats.previewFrames, stats.framesDelivered);
  EXPECT_NEAR(static_cast<double>(stats.framesDelivered), seconds * 30, seconds * 30 * 0.15);
  // Most were shown; a frame replaced before it was decoded is dropped.
  EXPECT_GE(stats.previewDecoded + stats.previewDropped + 1, stats.previewFrames);
  EXPECT_GT(stats.previewDecoded, stats.previewFrames / 2);

  // The colour bars of the test picture, where the picture's area is.
  ASSERT_FALSE(screen.isNull());
  const QPoint origin = preview_->mapToGlobal(QPoint(0, 0));
  screen.copy(QRect(origin, preview_->size())).save(QString::fromStdString((OutDir() / "preview.png").string()));
  const struct {
    int bar;
    QColor colour;
  } bars[] = {{1, QColor(191, 191, 0)}, {2, QColor(0, 191, 191)}, {3, QColor(0, 191, 0)},
              {4, QColor(191, 0, 191)}, {5, QColor(191, 0, 0)},   {6, QColor(0, 0, 191)}};
  for (const auto& b : bars) {
    const QPoint at = origin + QPoint((2 * b.bar + 1) * preview_->width() / 16, 200);
    const QColor seen = screen.pixelColor(at);
    EXPECT_TRUE(streamtest::Near(seen, b.colour, 40))
        << "bar " << b.bar << " at " << at.x() << "," << at.y() << " is " << seen.name().toStdString();
  }
}

// The program's main window gets the clicks over the picture (the message
// drain): neither the picture's area nor the video window in it takes them.
TEST_F(GraphTest, PointerOverThePictureReachesTheMainWindow) {
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(300ms);
  const QPoint centre = preview_->mapToGlobal(preview_->rect().center());
  const auto [status, output] = RunCommand("xdotool mousemove " + std::to_string(centre.x()) + " " +
                                           std::to_string(centre.y()) + " click 1");
  ASSERT_EQ(status, 0) << output;
  EXPECT_TRUE(PumpUntil([this] { return main_->presses > 0; }, 3s));
}

// Choosing another capture mode while previewing: the stream is given up
// while the graph is stopped, so the camera takes the new format, and the
// preview comes back in it.
TEST_F(GraphTest, CaptureModeChangeWhilePreviewing) {
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(300ms);
  const std::size_t mark = VcamLog().size();
  StopPreview(graph);
  EXPECT_EQ(ApplyFormat(*camera_, kYuyv480, 30), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  const std::uint64_t before = Stats(graph).previewFrames;
  EXPECT_TRUE(PumpUntil([&] { return Stats(graph).previewFrames > before + 5; }, 3s));
  EXPECT_EQ(VcamLogLines("video0 streamon", mark),
            (std::vector<std::string>{"video0 streamon YUYV 640x480 1/30"}));
  EXPECT_EQ(VideoWindow(), preview_->findChild<QWidget*>()) << "one video window, not two";
}

}  // namespace
}  // namespace kinovo::graphtest
