// Lip sync through the whole program's capture path: the virtual cameras
// (profiles/sync.ini) flash and the test microphone clicks at the same
// instants of CLOCK_MONOTONIC, every KINOVO_SYNC_PERIOD_MS (set by
// scripts/with-services.sh); in the recorded file, found by ffmpeg's
// decoding, each flash and its click lie within one frame of each other.

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/video_formats.h"
#include "graph_fixture.h"
#include "tests/stream/support.h"

namespace kinovo::graphtest {
namespace {

using media::stream::MonotonicNowUs;
using streamtest::ClickTimes;
using streamtest::DecodeErrors;
using streamtest::FlashTimes;
using streamtest::SyncErrors;
using streamtest::TempDir;

// Formats of the second camera of profiles/sync.ini.
constexpr int kSecondMjpeg720 = 0;

std::int64_t SyncPeriodUs() {
  const char* text = std::getenv("KINOVO_SYNC_PERIOD_MS");
  return text ? std::atoll(text) * 1000 : 0;
}

class LipSync : public GraphTest {
 protected:
  void SetUp() override {
    GraphTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_GT(SyncPeriodUs(), 0) << "run inside scripts/with-services.sh, which sets KINOVO_SYNC_PERIOD_MS";
    mic_ = Microphone("sine");
    ASSERT_FALSE(mic_.isEmpty()) << "no test microphone";
  }

  // Records from the graph's camera for `seconds`, starting a fifth of a
  // period before an event, so that the first flash comes right after the
  // start; checks every flash against its click.
  void RecordAndCheck(CCaptureGraph& graph, double seconds) {
    const std::int64_t period = SyncPeriodUs();
    while ((MonotonicNowUs() + period / 5) % period > period / 20) Pump(5ms);
    TempDir dir;
    const auto file = dir / "sync.avi";
    ASSERT_EQ(StartRecording(graph, QString::fromStdString(file.string())), 0);
    Pump(std::chrono::milliseconds(std::llround(seconds * 1000)));
    ASSERT_EQ(StopAndFinish(graph), 0);
    const media::CaptureStats stats = Stats(graph);
    EXPECT_EQ(stats.recordingError, "");
    // No silence but for a rare overrun of the busy test machine.
    EXPECT_LT(stats.audioSilenceInserted, 48000u / 20);
    // The microphone was opened before the start; it may take a block or
    // two to deliver.
    EXPECT_LT(stats.audioLeadingSilence, 48000u / 10);
    EXPECT_EQ(DecodeErrors(file), "");

    // Slots before the first picture repeat it: a flash there is not one of
    // its own.
    std::vector<double> flashes = FlashTimes(file);
    std::erase_if(flashes, [&](double t) {
      return t * 30 < static_cast<double>(stats.framesRepeated) - 0.5;
    });
    const std::vector<double> clicks = ClickTimes(file);
    const double recorded = static_cast<double>(stats.recordingEndUs - stats.recordingStartUs) / 1e6;
    const double events = recorded / (static_cast<double>(period) / 1e6);
    // A flash may fall on a frame the camera dropped, a click never.
    EXPECT_GE(static_cast<double>(flashes.size()), std::floor(events) - 1);
    EXPECT_LE(static_cast<double>(flashes.size()), std::ceil(events));
    EXPECT_NEAR(static_cast<double>(clicks.size()), events, 1.0);
    ASSERT_FALSE(flashes.empty());
    // The file starts when asked: its flashes come a fifth of a period after
    // each period's start, the first in the first period unless its frame
    // was dropped.
    const double periodSeconds = static_cast<double>(period) / 1e6;
    EXPECT_LT(flashes.front(), periodSeconds + 0.5);
    EXPECT_LT(std::fmod(flashes.front(), periodSeconds), 0.5)
        << "the first flash comes " << flashes.front() << " s in, not a fifth of a period";
    const std::vector<double> errors = SyncErrors(flashes, clicks);
    for (std::size_t i = 0; i < errors.size(); ++i) {
      EXPECT_LE(std::abs(errors[i]), 1.0 / 30)
          << "flash at " << flashes[i] << " s: its click is " << errors[i] * 1000 << " ms away";
    }
  }

  QString mic_;
};

// Right after the start: the microphone was only just opened.
TEST_F(LipSync, FlashAndClickMeetFromTheStart) {
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic_), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(300ms);
  RecordAndCheck(graph, 3.5);
}

// The user switches to the second camera as the program does (the preview
// of the first stops, a graph for the second is built), then records.
TEST_F(LipSync, FlashAndClickMeetAfterACameraSwitch) {
  ASSERT_GE(cameras_.size(), 2u) << "profiles/sync.ini has two cameras";
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic_), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(500ms);

  VideoDevice& second = cameras_[1];
  ASSERT_EQ(OpenVideoDevice(second), 0);
  ASSERT_EQ(ApplyFormat(second, kSecondMjpeg720, 30), 0);
  second.formatIndex = kSecondMjpeg720;
  second.frameRate = 30;
  StopPreview(graph);
  ASSERT_EQ(BuildGraph(graph, &second, mic_), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(300ms);
  RecordAndCheck(graph, 3.5);
}

// A second recording in the same graph, after the first: the microphone
// is opened afresh.
TEST_F(LipSync, FlashAndClickMeetInASecondRecording) {
  UseFormat(kMjpeg1080);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic_), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(300ms);
  RecordAndCheck(graph, 2.5);
  Pump(300ms);
  RecordAndCheck(graph, 2.5);
}

}  // namespace
}  // namespace kinovo::graphtest
