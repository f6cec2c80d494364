// Faults through kinovo-probe record, on cameras that fail the ways real
// ones do (profiles/faults.ini) and on a disk that fills up: every run
// ends with a file that plays, or with no file and the reason in words.

#include <QJsonDocument>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "graph_fixture.h"
#include "tests/stream/support.h"

namespace kinovo::graphtest {
namespace {

using streamtest::DecodedAudioFrames;
using streamtest::DecodeErrors;
using streamtest::Probe;
using streamtest::ProbeFile;
using streamtest::Quote;
using streamtest::RunCommand;
using streamtest::SmallDisk;
using streamtest::TempDir;
using streamtest::VideoPacketsWithData;

// Cameras of faults.ini.
constexpr const char* kBusyCamera = "/dev/video0";
constexpr const char* kStuckCamera = "/dev/video1";
constexpr const char* kErringCamera = "/dev/video2";
constexpr const char* kLooseCamera = "/dev/video3";
constexpr const char* kSilentCamera = "/dev/video4";
constexpr const char* kDamagingCamera = "/dev/video5";
constexpr const char* kGoodCamera = "/dev/video6";

struct ProbeRun {
  int status = -1;
  QJsonObject report;
  std::string output;
  double Number(const char* key) const { return report.value(QLatin1String(key)).toDouble(-1); }
  std::string Text(const char* key) const { return report.value(QLatin1String(key)).toString().toStdString(); }
};

// The probe's command line for a recording from a camera of faults.ini
// (the sine microphone with `sound`).
std::string ProbeCommand(const char* camera, int format, double seconds, const std::filesystem::path& out,
                         bool sound = false) {
  std::ostringstream command;
  command << "KINOVO_VCAM_PROFILE=" << Quote(KINOVO_FAULTS_PROFILE) << " " << KINOVO_PROBE_PATH
          << " record --camera " << camera << " --format " << format << " --fps 30 --seconds " << seconds
          << (sound ? " --mic 0" : "") << " --window 320x180 --out " << Quote(out.string());
  return command.str();
}

ProbeRun Parse(int status, std::string output) {
  ProbeRun run;
  run.status = status;
  run.report = QJsonDocument::fromJson(QByteArray::fromStdString(output)).object();
  run.output = std::move(output);
  return run;
}

ProbeRun Record(const char* camera, int format, double seconds, const std::filesystem::path& out,
                bool sound = false) {
  // Only the report on standard output; the log goes elsewhere.
  auto [status, output] = RunCommand("(" + ProbeCommand(camera, format, seconds, out, sound) + " 2>/dev/null)");
  return Parse(status, std::move(output));
}

bool IsEmptyFolder(const std::filesystem::path& folder) {
  return std::filesystem::is_empty(folder);
}

// A reason is words, not a status number.
void ExpectReasonInWords(const std::string& reason) {
  EXPECT_FALSE(reason.empty());
  EXPECT_EQ(reason.find("0x"), std::string::npos) << reason;
  EXPECT_TRUE(std::any_of(reason.begin(), reason.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); }))
      << reason;
}

// A camera that fails as the recording begins: the recording fails with
// the reason, and no file is left, not even an empty one.
struct StartFault {
  const char* name;
  const char* camera;
  const char* reason;  // what the report says, in words
};

class CameraFailsAtTheStart : public ::testing::TestWithParam<StartFault> {};

TEST_P(CameraFailsAtTheStart, IsAFailureWithItsReasonAndLeavesNoFile) {
  const StartFault& c = GetParam();
  TempDir dir;
  const ProbeRun run = Record(c.camera, 0, 2, dir / "k.avi", true);
  EXPECT_EQ(run.status, 1) << run.output;
  const std::string reason = run.report.contains("reason") ? run.Text("reason") : run.Text("error");
  ExpectReasonInWords(reason);
  EXPECT_NE(reason.find(c.reason), std::string::npos) << run.output;
  EXPECT_TRUE(IsEmptyFolder(dir.path())) << "a file was left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CameraFailsAtTheStart,
    ::testing::Values(StartFault{"BusyAtRequestBuffers", kBusyCamera, "busy"},
                      StartFault{"BusyAtStreamOn", kStuckCamera, "busy"},
                      StartFault{"EveryFrameFlaggedAsAnError", kErringCamera, "no picture"},
                      // It comes back once let go, and goes again at once.
                      StartFault{"UnpluggedBeforeItsFirstFrame", kLooseCamera, "no picture"}),
    [](const auto& info) { return std::string(info.param.name); });

// A camera that falls silent for a second without an error: the stall is
// counted, and the file keeps its timeline with empty frames, so that
// picture and sound stay as long as the recording.
TEST(Faults, ASilentCameraKeepsTheTimelineWithEmptyFrames) {
  TempDir dir;
  const auto file = dir / "silent.avi";
  const ProbeRun run = Record(kSilentCamera, 0, 3, file, true);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_GE(run.Number("cameraStalls"), 1);
  EXPECT_GE(run.Number("emptyFramesInserted"), 20);  // a second at 30 per second, give or take
  const std::optional<Probe> probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  const double frames = probe->Number(probe->video, "nb_frames");
  EXPECT_NEAR(frames, run.Number("seconds") * 30, 2);
  EXPECT_NEAR(DecodedAudioFrames(file, 1) / 48000.0, frames / 30, 0.05);
  EXPECT_EQ(DecodeErrors(file), "");
}

// A camera that sends damaged frames (cut short, bit flips, empty, a
// header of another size, noise): the preview goes on showing the good
// ones, and the file holds empty frames in their slots, counted (a
// Motion-JPEG frame whose bits were flipped but whose structure is whole
// cannot be told without decoding it, and is kept).
TEST(Faults, DamagedFramesNeitherStopThePreviewNorSpoilTheFile) {
  for (const int format : {0, 1}) {  // MJPG 640x480, YUYV 320x240
    SCOPED_TRACE(format == 0 ? "Motion-JPEG" : "YUYV");
    TempDir dir;
    const auto file = dir / "damaged.avi";
    const ProbeRun run = Record(kDamagingCamera, format, 3, file);
    ASSERT_EQ(run.status, 0) << run.output;
    // Two of three frames are good, and each of them is shown.
    EXPECT_GT(run.Number("previewFramesShown"), 0.5 * run.Number("framesExpected"));
    EXPECT_GT(run.Number("previewFramesFailed") + run.Number("cameraFramesCorrupt"), 0);
    const std::optional<Probe> probe = ProbeFile(file);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->Number(probe->video, "nb_frames"),
              run.Number("framesWritten") + run.Number("emptyFramesInserted"));
    EXPECT_EQ(VideoPacketsWithData(file), static_cast<std::int64_t>(run.Number("framesWritten")));
    if (format == 0) {
      // Every third frame is damaged, in five ways in turn: those cut short,
      // with a header of another size or noise stay out of the file.
      EXPECT_GE(run.Number("framesUnusable"), 0.15 * run.Number("framesCaptured"));
    } else {
      // Raw frames cut short are flagged by the driver and never delivered.
      EXPECT_EQ(DecodeErrors(file), "");
    }
  }
}

// A disk that fills up: the recording stops at once, long before its
// planned end, says why, and the file plays up to its last frame.
TEST(Faults, AFullDiskStopsTheRecordingAtOnceWithAPlayableFile) {
  SmallDisk disk(std::size_t{8} << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  const auto file = disk / "full.avi";
  const ProbeRun run = Record(kGoodCamera, 1, 60, file, true);  // YUYV 640x480: 600 KB a frame
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_EQ(run.Text("error"), "No space left on device") << run.output;
  EXPECT_TRUE(run.report.value("stoppedEarly").toBool());
  EXPECT_LT(run.Number("seconds"), 20);
  const std::optional<Probe> probe = ProbeFile(file);
  ASSERT_TRUE(probe) << "ffprobe cannot read the file";
  EXPECT_GT(probe->Number(probe->format, "duration"), 0);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"),
            run.Number("framesWritten") + run.Number("emptyFramesInserted"));
  EXPECT_GT(run.Number("framesWritten"), 0);
  EXPECT_EQ(DecodeErrors(file), "");
}

// SIGTERM while recording: the recording is stopped as by the user, and
// the file is finished.
TEST(Faults, SigtermWhileRecordingLeavesAFinishedFile) {
  TempDir dir;
  const auto file = dir / "term.avi";
  const auto report = dir / "report.json";
  const auto [status, output] = RunCommand(
      "(" + ProbeCommand(kGoodCamera, 0, 60, file, true) + " >" + Quote(report.string()) +
      " 2>/dev/null & probe=$!; sleep 3; kill -TERM $probe; wait $probe; echo \"exit $?\")");
  EXPECT_NE(output.find("exit 1"), std::string::npos) << output;
  std::ifstream in(report);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const ProbeRun run = Parse(1, text);
  EXPECT_TRUE(run.report.value("interrupted").toBool()) << text;
  ExpectReasonInWords(run.Text("error"));
  EXPECT_LT(run.Number("seconds"), 10);
  const std::optional<Probe> probe = ProbeFile(file);
  ASSERT_TRUE(probe) << "ffprobe cannot read the file";
  EXPECT_NEAR(probe->Number(probe->video, "nb_frames"), run.Number("seconds") * 30, 2);
  EXPECT_EQ(DecodeErrors(file), "");
}

// A file name with bytes that are no UTF-8 lands under its own name.
TEST(Faults, AFileNameThatIsNoUtf8LandsUnderItsOwnBytes) {
  TempDir dir;
  const std::string name = "caf\xe9-\xff\x80.avi";
  const auto file = dir / name;
  const ProbeRun run = Record(kGoodCamera, 0, 1, file);
  ASSERT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(std::filesystem::exists(file));
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++entries;
    EXPECT_EQ(entry.path().filename().string(), name);
  }
  EXPECT_EQ(entries, 1u);
  EXPECT_TRUE(ProbeFile(file));
}

}  // namespace
}  // namespace kinovo::graphtest
