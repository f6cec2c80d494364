// The graph holder's edge cases on the real back end.

#include "graph_fixture.h"
#include "tests/stream/support.h"

namespace kinovo::graphtest {
namespace {

TEST_F(GraphTest, HolderNeverBuiltHasNothingToWorkOn) {
  CCaptureGraph graph;
  EXPECT_EQ(StopRecording(graph), 1);
  EXPECT_EQ(StartRecording(graph, QStringLiteral("/tmp/never.avi")), 1);
  EXPECT_EQ(StartPreview(graph, preview_), 1);
  EXPECT_FALSE(ResizeVideoWindow(graph, 610, 450));
  EXPECT_EQ(VideoWindow(), nullptr);
}

// Without a camera there is nothing to show and nothing to record; the
// refused recording leaves no file.
TEST_F(GraphTest, HolderWithoutCameraPreviewsNothingAndRecordsNothing) {
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, nullptr, {}), 0);
  EXPECT_EQ(StartPreview(graph, preview_), 0);
  EXPECT_EQ(VideoWindow(), nullptr);
  streamtest::TempDir dir;
  const auto file = dir / "none.avi";
  QString why;
  EXPECT_LT(StartRecording(graph, QPath(file), &why), 0);
  EXPECT_EQ(why, "No such device");
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_EQ(StopRecording(graph), 1);
}

TEST_F(GraphTest, ResizedVideoWindowIsOnePixelTaller) {
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  EXPECT_TRUE(ResizeVideoWindow(graph, 610, 450));
  QWidget* video = VideoWindow();
  ASSERT_TRUE(video);
  EXPECT_EQ(video->geometry(), QRect(0, 0, 610, 451));
  // A photo's size, larger than the window it sits in.
  EXPECT_TRUE(ResizeVideoWindow(graph, 1920, 1080));
  EXPECT_EQ(video->geometry(), QRect(0, 0, 1920, 1081));
}

// The second BuildGraph releases the first graph: its camera stream stops
// and gives its buffers back, and its video window goes; the camera stays
// open for the next one.
TEST_F(GraphTest, BuildingTwiceReleasesTheFirstGraphAndItsStream) {
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(300ms);
  ASSERT_TRUE(VideoWindow());
  const std::size_t mark = VcamLog().size();
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  EXPECT_EQ(VcamLogLines("video0", mark),
            (std::vector<std::string>{"video0 streamoff", "video0 reqbufs 0"}));
  EXPECT_EQ(VideoWindow(), nullptr);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  EXPECT_TRUE(PumpUntil([&] { return Stats(graph).previewFrames > 5; }, 3s));
}

// The owner window may go first (the main window destroys its preview
// window before the graph): the graph goes on without a window.
TEST_F(GraphTest, PreviewWindowDestroyedBeforeTheGraph) {
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(300ms);
  delete preview_;
  preview_ = nullptr;
  const std::uint64_t frames = Stats(graph).framesDelivered;
  EXPECT_TRUE(PumpUntil([&] { return Stats(graph).framesDelivered > frames + 5; }, 3s));
  EXPECT_FALSE(ResizeVideoWindow(graph, 610, 450));
  ReleaseGraph(graph);
}

// The camera is pulled out while previewing: the device is given back at
// once, and stopping and starting the preview afterwards is harmless; the
// start says that the camera is gone, and so does a recording's, which
// does not blame the microphone.
TEST_F(GraphTest, CameraUnpluggedWhilePreviewing) {
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, Microphone("sine")), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(300ms);
  const std::size_t mark = VcamLog().size();
  Unplug unplug(0);
  EXPECT_TRUE(PumpUntil([&] { return !VcamLogLines("video0 close", mark).empty(); }, 3s))
      << "the device was not released";
  EXPECT_TRUE(Stats(graph).cameraLost);
  const std::uint64_t frames = Stats(graph).framesDelivered;
  StopPreview(graph);
  EXPECT_LT(StartPreview(graph, preview_), 0);
  Pump(300ms);
  EXPECT_EQ(Stats(graph).framesDelivered, frames);
  EXPECT_TRUE(VideoWindow()) << "the window stays, showing the last picture";
  streamtest::TempDir dir;
  QString why;
  EXPECT_LT(StartRecording(graph, QPath(dir / "gone.avi"), &why), 0);
  EXPECT_TRUE(why.startsWith("the camera gives no picture (")) << why.toStdString();
  EXPECT_FALSE(why.contains("microphone"));
  EXPECT_FALSE(std::filesystem::exists(dir / "gone.avi"));
}

}  // namespace
}  // namespace kinovo::graphtest
