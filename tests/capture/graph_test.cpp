// The capture graph holder against a fake media layer: the order of the
// steps, the filter names, the window placement rule and the statuses.

#include <QApplication>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>

#include "capture/capture_graph.h"
#include "fake_media.h"

namespace kinovo {
namespace {

using namespace kinovo::fake;

class GraphTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake_->nextWindow = std::make_shared<FakeVideoWindow>(fake_->log);
    camera_.filter = fake_->MakeFilter("camera");
    camera_.opened = true;  // opening is tested on its own
    mic_ = fake_->MakeFilter("mic");
    main_.resize(670, 510);
    preview_ = new QWidget(&main_, Qt::Tool);
    preview_->setGeometry(15, 15, 640, 480);
  }

  // The calls logged since the last Take().
  std::vector<std::string> Take() {
    std::vector<std::string> out(log().begin() + static_cast<long>(mark_), log().end());
    mark_ = log().size();
    return out;
  }
  CallLog& log() { return *fake_->log; }

  std::shared_ptr<FakePlatform> fake_ = std::make_shared<FakePlatform>();
  media::ScopedPlatform scoped_{fake_};
  VideoDevice camera_;
  std::shared_ptr<FakeFilter> mic_;
  QWidget main_;
  QWidget* preview_ = nullptr;
  std::size_t mark_ = 0;
};

TEST_F(GraphTest, PreviewAddsTheCameraRendersItAndPlacesTheWindowOnePixelTaller) {
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, mic_), media::kOk);
  EXPECT_EQ(Take(), (std::vector<std::string>{"CreateCaptureGraphBuilder", "CreateFilterGraph",
                                              "SetFiltergraph"}));
  EXPECT_EQ(StartPreview(g, preview_), media::kOk);
  EXPECT_EQ(Take(), (std::vector<std::string>{
                        "AddFilter camera as Capture Filter",
                        "RenderStream PREVIEW Video camera none none",
                        "Owner window", "Drain window",
                        "Style " + std::to_string(media::kWsChild | media::kWsClipSiblings),
                        "Left 0", "Top 0", "Width 640", "Height 481",
                        "SetNotifyWindow 0 0", "Run"}));
  // Input over the picture goes to the main window, the preview window's parent.
  EXPECT_EQ(fake_->nextWindow->owner, preview_);
  EXPECT_EQ(fake_->nextWindow->drain, &main_);
}

TEST_F(GraphTest, AttachingAgainHidesAndDetachesTheEarlierWindowFirst) {
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  ASSERT_EQ(StartPreview(g, preview_), media::kOk);
  const std::weak_ptr<FakeVideoWindow> first = fake_->nextWindow;
  auto second = std::make_shared<FakeVideoWindow>(fake_->log);
  fake_->lastGraph.lock()->window = second;
  fake_->nextWindow.reset();  // the holder has the only reference to the first
  Take();
  EXPECT_EQ(AttachVideoWindow(g, preview_, &main_), media::kOk);
  EXPECT_EQ(Take(), (std::vector<std::string>{
                        "Visible 0", "Owner none", "~window", "Owner window", "Drain window",
                        "Style " + std::to_string(media::kWsChild | media::kWsClipSiblings),
                        "Left 0", "Top 0", "Width 640", "Height 481", "SetNotifyWindow 0 0"}));
  EXPECT_TRUE(first.expired());
  EXPECT_EQ(g.videoWindow, second);
  EXPECT_EQ(second->drain, &main_);
}

TEST_F(GraphTest, ReleaseGraphLetsGoInOrderWithoutStoppingAndForgetsTheSources) {
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, mic_), media::kOk);
  StartPreview(g, preview_);
  ASSERT_EQ(StartRecording(g, QStringLiteral("/v/k.avi")), media::kOk);
  // From here on the holder has the only references.
  fake_->nextWindow.reset();
  fake_->lastGraph.lock()->window.reset();
  fake_->lastBuilder.reset();
  Take();
  ReleaseGraph(g);
  EXPECT_EQ(Take(), (std::vector<std::string>{"~mux", "~window", "~control", "~graph 1", "~builder"}));
  EXPECT_EQ(g.device, &camera_);
  EXPECT_FALSE(g.videoFilter);
  EXPECT_FALSE(g.audioFilter);
  EXPECT_EQ(mic_.use_count(), 1) << "the microphone's filter belongs to its device record";
}

TEST_F(GraphTest, ResizeVideoWindowAsksOnePixelMoreAndStopsAtTheFirstFailure) {
  CCaptureGraph g;
  EXPECT_FALSE(ResizeVideoWindow(g, 610, 450)) << "no video window yet";
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  StartPreview(g, preview_);
  Take();
  EXPECT_TRUE(ResizeVideoWindow(g, 610, 450));
  EXPECT_EQ(Take(), (std::vector<std::string>{"Left 0", "Top 0", "Width 610", "Height 451"}));

  fake_->nextWindow = std::make_shared<FakeVideoWindow>(fake_->log);
  fake_->nextWindow->failAtCall = 4 + 1;  // after the four of the attachment: the Top of the resize
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  StartPreview(g, preview_);
  Take();
  EXPECT_FALSE(ResizeVideoWindow(g, 610, 450));
  EXPECT_EQ(Take(), (std::vector<std::string>{"Left 0", "Top 0"}));
}

TEST_F(GraphTest, BuildingTwiceReleasesTheFirstGraphBeforeTheSecond) {
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  const std::weak_ptr<FakeFilterGraph> first = fake_->lastGraph;
  Take();
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  EXPECT_TRUE(first.expired());
  const auto calls = Take();
  const auto released = std::find(calls.begin(), calls.end(), "~graph 1");
  EXPECT_LT(released, std::find(calls.begin(), calls.end(), "CreateCaptureGraphBuilder"));
}

// Only negative statuses are failures; positive ones (S_FALSE) are not.
TEST_F(GraphTest, PositiveStatusesDoNotFailTheBuildOrTheAttachment) {
  fake_->builderStatus = media::kFalse;
  fake_->graphStatus = media::kFalse;
  fake_->nextAttachStatus = media::kFalse;
  fake_->nextControlStatus = media::kFalse;
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  EXPECT_TRUE(g.graph);
  EXPECT_TRUE(g.builder);
  EXPECT_TRUE(g.mediaControl);
  fake_->lastGraph.lock()->eventStatus = media::kFalse;
  Take();
  EXPECT_EQ(StartPreview(g, preview_), media::kOk);
  const auto calls = Take();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "SetNotifyWindow 0 0"), calls.end());
  EXPECT_EQ(calls.back(), "Run");
}

TEST_F(GraphTest, FailedBuildLeavesNoGraph) {
  const struct {
    const char* what;
    Status builder, graph, attach, control;
  } cases[] = {
      {"builder", media::kFail, media::kOk, media::kOk, media::kOk},
      {"graph", media::kOk, media::kOutOfMemory, media::kOk, media::kOk},
      {"attach", media::kOk, media::kOk, media::kUnexpected, media::kOk},
      {"control", media::kOk, media::kOk, media::kOk, media::kNoInterface},
  };
  for (const auto& c : cases) {
    fake_->builderStatus = c.builder;
    fake_->graphStatus = c.graph;
    fake_->nextAttachStatus = c.attach;
    fake_->nextControlStatus = c.control;
    const Status expected = c.builder != media::kOk ? c.builder
                            : c.graph != media::kOk ? c.graph
                            : c.attach != media::kOk ? c.attach
                                                     : c.control;
    CCaptureGraph g;
    EXPECT_EQ(BuildGraph(g, &camera_, nullptr), expected) << c.what;
    EXPECT_FALSE(g.graph) << c.what;
    EXPECT_FALSE(g.builder) << c.what;
    EXPECT_FALSE(g.mediaControl) << c.what;
    EXPECT_EQ(StartPreview(g, preview_), media::kFalse) << c.what;
    EXPECT_EQ(StopRecording(g), media::kFalse) << c.what;
  }
}

TEST_F(GraphTest, StopRecordingOnAHolderNeverBuiltReturnsOne) {
  CCaptureGraph g;
  EXPECT_EQ(StopRecording(g), media::kFalse);
  EXPECT_EQ(StartRecording(g, QStringLiteral("/tmp/x.avi")), media::kFalse);
  EXPECT_EQ(StartPreview(g, preview_), media::kFalse);
  EXPECT_TRUE(log().empty());
}

TEST_F(GraphTest, RecordingWithAMicrophoneRoutesBothStreamsIntoTheMuxAndBack) {
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, mic_), media::kOk);
  StartPreview(g, preview_);
  Take();
  EXPECT_EQ(StartRecording(g, QStringLiteral("/v/k.avi")), media::kOk);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Stop graph", "AddFilter mic as AudioInput",
                                              "SetOutputFileName Avi /v/k.avi",
                                              "RenderStream CAPTURE Video camera none mux",
                                              "RenderStream CAPTURE Audio mic none mux",
                                              "EnumPins camera", "Run"}));
  EXPECT_TRUE(g.mux);
  EXPECT_EQ(StopRecording(g), media::kOk);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Stop graph", "Stop mux", "RemoveFilter mux", "~mux",
                                              "RemoveFilter mic", "Run"}));
  EXPECT_FALSE(g.mux);
}

TEST_F(GraphTest, RecordingWithoutMicrophoneIsVideoOnly) {
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  StartPreview(g, preview_);
  Take();
  EXPECT_EQ(StartRecording(g, QStringLiteral("/v/k.avi")), media::kOk);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Stop graph", "SetOutputFileName Avi /v/k.avi",
                                              "RenderStream CAPTURE Video camera none mux",
                                              "EnumPins camera", "Run"}));
}

TEST_F(GraphTest, AFailedFileOutputIsReportedAndThePreviewGoesOn) {
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, mic_), media::kOk);
  StartPreview(g, preview_);
  fake_->lastBuilder->outputStatus = media::StatusFromErrno(13);
  Take();
  EXPECT_EQ(StartRecording(g, QStringLiteral("/ro/k.avi")), media::StatusFromErrno(13));
  // The microphone does not stay open for the preview.
  EXPECT_EQ(Take(), (std::vector<std::string>{"Stop graph", "AddFilter mic as AudioInput",
                                              "SetOutputFileName Avi /ro/k.avi", "RemoveFilter mic",
                                              "EnumPins camera", "Run"}));

  // A failed video rendering skips the sound's and takes the writer out.
  fake_->lastBuilder->outputStatus = media::kOk;
  fake_->lastBuilder->videoRenderStatus = media::kInvalidMediaType;
  EXPECT_EQ(StartRecording(g, QStringLiteral("/v/k.avi")), media::kInvalidMediaType);
  const std::vector<std::string> calls = Take();
  for (const auto& call : calls) EXPECT_NE(call, "RenderStream CAPTURE Audio mic none mux");
  EXPECT_NE(std::find(calls.begin(), calls.end(), "RemoveFilter mux"), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), "RemoveFilter mic"), calls.end());
  EXPECT_FALSE(g.mux);
}

// The file's own failure (its camera failed as it began, the disk filled
// up) is the result, in words too; running the graph again comes first.
TEST_F(GraphTest, AFileThatFailedIsReportedAtStartAndAtStop) {
  const Status busy = media::StatusFromErrno(EBUSY);
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  StartPreview(g, preview_);
  EXPECT_EQ(RecordingStatus(g), media::kFalse) << "nothing is recorded";
  fake_->lastBuilder->muxErrorStatus = busy;
  fake_->lastBuilder->muxErrorReason = QStringLiteral("Device or resource busy");
  EXPECT_EQ(StartRecording(g, QStringLiteral("/v/a.avi")), busy);
  EXPECT_FALSE(g.mux) << "a recording that failed as it began is not left running";

  const Status full = media::StatusFromErrno(ENOSPC);
  fake_->lastBuilder->muxErrorStatus = media::kOk;
  ASSERT_EQ(StartRecording(g, QStringLiteral("/v/b.avi")), media::kOk);
  EXPECT_EQ(RecordingStatus(g), media::kOk);
  fake_->lastBuilder->mux.lock()->errorStatus = full;
  fake_->lastBuilder->mux.lock()->errorReason = QStringLiteral("No space left on device");
  QString reason;
  EXPECT_EQ(RecordingStatus(g, &reason), full);
  EXPECT_EQ(reason, "No space left on device");
  EXPECT_EQ(StopRecording(g, &reason), full);
  EXPECT_EQ(reason, "No space left on device");
  EXPECT_FALSE(g.mux);
}

TEST_F(GraphTest, RecordingReappliesTheStoredFormatOnlyToADistinctCapturePin) {
  // Preview pin first, capture pin after it: the capture pin gets the
  // device's stored format (the second of two) and rate.
  auto preview = fake_->MakePin("preview", media::PIN_CATEGORY_PREVIEW);
  auto capture = fake_->MakePin("capture", media::PIN_CATEGORY_CAPTURE);
  capture->config = fake_->MakeConfig();
  capture->config->current = VideoCapability(640, 480, media::MEDIASUBTYPE_YUY2, 333333, 333333, 1).mediaType;
  camera_.mainPin = preview;
  camera_.extraCapturePin = capture;
  VideoFormat f;
  f.index = 0;
  f.width = 1280;
  f.height = 720;
  f.minFps = 15;
  f.maxFps = 30;
  f.frameBytes = 1280 * 720 * 2;
  f.subtype = media::MEDIASUBTYPE_YUY2;
  VideoFormat mjpeg = f;
  mjpeg.index = 1;
  mjpeg.width = 640;
  mjpeg.height = 360;
  mjpeg.minFps = 5;
  mjpeg.frameBytes = 640 * 360 * 3;
  mjpeg.subtype = media::MEDIASUBTYPE_MJPG;
  camera_.formats = {f, mjpeg};
  camera_.formatIndex = 1;
  camera_.frameRate = 20;
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  StartPreview(g, preview_);
  ASSERT_EQ(StartRecording(g, QStringLiteral("/v/k.avi")), media::kOk);
  ASSERT_EQ(capture->config->formatsSet.size(), 1u);
  const media::MediaType& set = capture->config->formatsSet[0];
  EXPECT_EQ(set.subtype, media::MEDIASUBTYPE_MJPG);
  EXPECT_EQ(set.videoInfo->bmiHeader.biWidth, 640);
  EXPECT_EQ(set.videoInfo->bmiHeader.biHeight, 360);
  EXPECT_EQ(set.videoInfo->AvgTimePerFrame, 500000);

  // Only a capture pin, which is also the main pin: nothing is applied there.
  auto only = fake_->MakePin("only", media::PIN_CATEGORY_CAPTURE);
  only->config = fake_->MakeConfig();
  VideoDevice single;
  auto singleFilter = fake_->MakeFilter("single");
  singleFilter->pins = {only};
  single.filter = singleFilter;
  single.opened = true;
  single.mainPin = only;
  single.formats = {f};
  ASSERT_EQ(BuildGraph(g, &single, nullptr), media::kOk);
  StartPreview(g, preview_);
  ASSERT_EQ(StartRecording(g, QStringLiteral("/v/k.avi")), media::kOk);
  EXPECT_EQ(single.extraCapturePin, single.mainPin);
  EXPECT_TRUE(only->config->formatsSet.empty());
}

TEST_F(GraphTest, StopPreviewStopsAndTakesTheCameraOut) {
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &camera_, nullptr), media::kOk);
  StartPreview(g, preview_);
  Take();
  StopPreview(g);
  EXPECT_EQ(Take(), (std::vector<std::string>{"Stop graph", "RemoveFilter camera"}));
}

TEST_F(GraphTest, ACameraThatCannotBeOpenedGivesAGraphWithoutCamera) {
  VideoDevice lost;  // no filter, and nothing to bind
  CCaptureGraph g;
  ASSERT_EQ(BuildGraph(g, &lost, nullptr), media::kOk);
  fake_->lastGraph.lock()->window.reset();
  Take();
  EXPECT_EQ(StartPreview(g, preview_), media::kOk);
  EXPECT_EQ(Take(), (std::vector<std::string>{"SetNotifyWindow 0 0", "Run"}));
  EXPECT_FALSE(g.videoWindow);
}

}  // namespace
}  // namespace kinovo

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
