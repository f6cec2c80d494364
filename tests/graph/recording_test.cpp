// Recording through the capture graph while it previews: the files are
// checked by ffprobe and ffmpeg.

#include <QJsonDocument>
#include <QJsonObject>
#include <fstream>
#include <optional>
#include <string>

#include "graph_fixture.h"
#include "tests/stream/support.h"

namespace kinovo::graphtest {
namespace {

using streamtest::DecodedAudioFrames;
using streamtest::DecodeErrors;
using streamtest::IndexedChunkSizes;
using streamtest::Probe;
using streamtest::ProbeFile;
using streamtest::TempDir;
using streamtest::VideoPacketsWithData;

using media::stream::MonotonicNowUs;

// The recording's span as the graph kept it, which must lie within the
// calls that started and stopped it; in seconds.
double RecordedSeconds(const media::CaptureStats& stats, std::int64_t beforeStartUs,
                       std::int64_t afterStopUs) {
  EXPECT_GE(stats.recordingStartUs, beforeStartUs);
  EXPECT_GT(stats.recordingEndUs, stats.recordingStartUs);
  EXPECT_LE(stats.recordingEndUs, afterStopUs);
  return static_cast<double>(stats.recordingEndUs - stats.recordingStartUs) / 1e6;
}

// A file lasts from its time zero to the stop, and holds the slot of a
// frame captured just before the stop, which may reach past it.
void ExpectFileSpansTheRecording(double frames, const media::CaptureStats& stats) {
  constexpr double kFrameUs = 1e6 / 30;
  EXPECT_LE(std::abs(stats.zeroUs - stats.recordingStartUs), kFrameUs / 2);
  const double fileSlots =
      std::round(static_cast<double>(stats.recordingEndUs - stats.zeroUs) / kFrameUs);
  EXPECT_GE(frames, fileSlots) << Describe(stats);
  EXPECT_LE(frames, fileSlots + 1) << Describe(stats);
}

struct RecordingCase {
  const char* name;
  int format;
  const char* microphone;  // or none
  const char* codec;
  const char* tag;
  int width;
  int height;
};

class Recording : public GraphTest, public ::testing::WithParamInterface<RecordingCase> {};

TEST_P(Recording, FileHoldsTheCameraStreamAndTheSoundInStep) {
  const RecordingCase& c = GetParam();
  UseFormat(c.format);
  QString mic;
  if (c.microphone) {
    mic = Microphone(c.microphone);
    ASSERT_FALSE(mic.isEmpty()) << "no microphone " << c.microphone;
  }
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(500ms);

  TempDir dir;
  const auto file = dir / "recording.avi";
  const std::int64_t beforeStartUs = MonotonicNowUs();
  ASSERT_EQ(StartRecording(graph, QPath(file)), 0);
  const std::uint64_t previewAtStart = Stats(graph).previewFrames;
  Pump(3000ms);
  EXPECT_GT(Stats(graph).previewFrames, previewAtStart + 60) << "the preview went on while recording";
  EXPECT_EQ(StopAndFinish(graph), 0);
  const std::int64_t afterStopUs = MonotonicNowUs();
  const media::CaptureStats stats = Stats(graph);
  const double seconds = RecordedSeconds(stats, beforeStartUs, afterStopUs);
  EXPECT_NEAR(seconds, 3.0, 0.5);
  EXPECT_FALSE(stats.recording);
  EXPECT_EQ(stats.recordingError, "");
  EXPECT_EQ(stats.framesRefused, 0u);
  // Every frame the camera gave the file is in it, and nothing else but the
  // slots before the first frame, which repeat it (more than one when the
  // camera paused just as the recording started).
  EXPECT_EQ(stats.framesWritten + stats.framesDiscarded + stats.framesUnusable,
            stats.recordedFramesCaptured + stats.framesRepeated);
  EXPECT_EQ(stats.framesUnusable, 0u);
  // And after it, too.
  const std::uint64_t previewAfter = stats.previewFrames;
  EXPECT_TRUE(PumpUntil([&] { return Stats(graph).previewFrames > previewAfter + 5; }, 3s));

  const std::optional<Probe> probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->streams, c.microphone ? 2 : 1);
  EXPECT_EQ(probe->Text(probe->video, "codec_name"), c.codec);
  EXPECT_EQ(probe->Text(probe->video, "codec_tag_string"), c.tag);
  EXPECT_EQ(probe->Number(probe->video, "width"), c.width);
  EXPECT_EQ(probe->Number(probe->video, "height"), c.height);
  EXPECT_EQ(probe->Text(probe->video, "r_frame_rate"), "30/1");
  const double frames = probe->Number(probe->video, "nb_frames");
  ExpectFileSpansTheRecording(frames, stats);
  EXPECT_EQ(frames, static_cast<double>(stats.framesWritten + stats.emptyFramesWritten));
  if (c.microphone) {
    EXPECT_EQ(probe->Text(probe->audio, "codec_name"), "pcm_s16le");
    const double rate = probe->Number(probe->audio, "sample_rate");
    const int channels = static_cast<int>(probe->Number(probe->audio, "channels"));
    EXPECT_EQ(rate, 48000);
    EXPECT_NEAR(DecodedAudioFrames(file, channels) / rate, frames / 30, 0.05);
  }
  EXPECT_EQ(DecodeErrors(file), "");
}

INSTANTIATE_TEST_SUITE_P(
    Graph, Recording,
    ::testing::Values(
        RecordingCase{"Mjpeg1080pWithSineMicrophone", kMjpeg1080, "sine", "mjpeg", "MJPG", 1920, 1080},
        RecordingCase{"Yuyv480WithoutSound", kYuyv480, nullptr, "rawvideo", "YUY2", 640, 480}),
    [](const auto& info) { return std::string(info.param.name); });

// Recordings begin and end while the camera streams: one stream start for
// a preview with two recordings, no frame of the preview lost around them,
// and each file holds the frames from its start to its stop.
TEST_F(GraphTest, RecordingsComeAndGoWhileTheCameraStreams) {
  UseFormat(kMjpeg480);
  QString mic = Microphone("sine");
  ASSERT_FALSE(mic.isEmpty());
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic), 0);
  const std::size_t mark = VcamLog().size();
  const VcamDrops dropsBefore = VcamDropsSoFar();
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  Pump(500ms);

  TempDir dir;
  std::uint64_t repeated = 0;
  for (int take = 0; take < 2; ++take) {
    SCOPED_TRACE("recording " + std::to_string(take + 1));
    const auto file = dir / ("take" + std::to_string(take) + ".avi");
    const std::int64_t beforeStartUs = MonotonicNowUs();
    ASSERT_EQ(StartRecording(graph, QPath(file)), 0);
    Pump(1500ms);
    EXPECT_EQ(StopAndFinish(graph), 0);
    const media::CaptureStats stats = Stats(graph);
    RecordedSeconds(stats, beforeStartUs, MonotonicNowUs());
    EXPECT_EQ(stats.recordingError, "");
    EXPECT_EQ(stats.framesWritten + stats.framesDiscarded + stats.framesUnusable,
              stats.recordedFramesCaptured + stats.framesRepeated);
    repeated += stats.framesRepeated;
    const std::optional<Probe> probe = ProbeFile(file);
    ASSERT_TRUE(probe);
    const double frames = probe->Number(probe->video, "nb_frames");
    ExpectFileSpansTheRecording(frames, stats);
    EXPECT_NEAR(DecodedAudioFrames(file, 1) / 48000.0, frames / 30, 0.05);
    EXPECT_EQ(DecodeErrors(file), "");
    Pump(300ms);
  }
  // The camera tells what it dropped when its stream ends.
  StopPreview(graph);
  const media::CaptureStats stats = Stats(graph);
  const std::uint64_t late = VcamDropsSoFar().late - dropsBefore.late;
  EXPECT_EQ(VcamLogLines("video0 streamon", mark).size(), 1u);
  EXPECT_EQ(stats.streamStarts, 1u);
  // The first frame after each click opens its file; the slot before it
  // repeats it when the click fell just after a frame, or when the frame
  // due then came late.
  EXPECT_LE(repeated, 2u + late);
  // Every frame of the camera reached the preview, before, during and
  // after the recordings.
  EXPECT_EQ(VcamDropsSoFar().starved - dropsBefore.starved, 0u);
  EXPECT_LE(stats.framesMissed, late);
  EXPECT_EQ(stats.previewFrames, stats.framesDelivered);
}

// The camera is pulled out in the middle of a recording: its stream ends
// without spinning, the device is given back at once, and the file, finished
// once stopped, plays and holds the frames up to the unplug (and, with
// a microphone, the sound to the end).
class Unplugged : public GraphTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(Unplugged, FileHoldsTheFramesUpToTheUnplug) {
  const char* microphone = GetParam()[0] ? GetParam() : nullptr;
  UseFormat(kMjpeg480);
  QString mic;
  if (microphone) {
    mic = Microphone(microphone);
    ASSERT_FALSE(mic.isEmpty());
  }
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  TempDir dir;
  const auto file = dir / "unplugged.avi";
  const std::int64_t beforeStartUs = MonotonicNowUs();
  ASSERT_EQ(StartRecording(graph, QPath(file)), 0);
  Pump(1500ms);

  const std::size_t mark = VcamLog().size();
  std::optional<Unplug> unplug(0);
  // Our opening of the node is closed while the recording goes on.
  EXPECT_TRUE(PumpUntil([&] { return !VcamLogLines("video0 close", mark).empty(); }, 3s))
      << "the device was not released";
  EXPECT_TRUE(Stats(graph).cameraLost);
  const double cpuBefore = CpuSeconds();
  Pump(1000ms);
  if (!microphone) {
    EXPECT_LT(CpuSeconds() - cpuBefore, 0.5) << "something spins";
  }
  EXPECT_EQ(StopAndFinish(graph), 0);
  // The camera cannot stream again.
  EXPECT_LT(StartPreview(graph, preview_), 0);
  const media::CaptureStats stats = Stats(graph);
  RecordedSeconds(stats, beforeStartUs, MonotonicNowUs());
  EXPECT_EQ(stats.recordingError, "");
  EXPECT_NEAR(static_cast<double>(stats.recordedFramesCaptured), 1.5 * 30, 8);

  const std::optional<Probe> probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(DecodeErrors(file), "");
  const double frames = probe->Number(probe->video, "nb_frames");
  EXPECT_EQ(VideoPacketsWithData(file), static_cast<std::int64_t>(stats.framesWritten));
  if (microphone) {
    // Picture and sound as long as the recording; the picture stands still
    // after the unplug.
    ExpectFileSpansTheRecording(frames, stats);
    EXPECT_NEAR(DecodedAudioFrames(file, 1) / 48000.0, frames / 30, 0.05);
  } else {
    // Only up to the last frame: no tail of empty frames.
    EXPECT_GE(frames, static_cast<double>(stats.recordedFramesCaptured));
    const std::vector<std::uint32_t> chunks = IndexedChunkSizes(file, "00dc");
    ASSERT_EQ(chunks.size(), static_cast<std::size_t>(frames));
    EXPECT_GT(chunks.back(), 0u) << "the file ends with empty frames";
  }
  unplug.reset();
}

INSTANTIATE_TEST_SUITE_P(Graph, Unplugged, ::testing::Values("", "sine"),
                         [](const auto& info) {
                           return std::string(info.param[0] ? "WithSineMicrophone" : "WithoutSound");
                         });

// A file that cannot be written is reported, and nothing is written over
// or left behind; the preview goes on, and the next recording works.
struct RefusedCase {
  const char* name;
  bool existing;  // the file exists; otherwise its folder does not
};

class RefusedFile : public GraphTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedFile, IsReportedAndLeavesEverythingAsItWas) {
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  TempDir dir;
  const auto file = GetParam().existing ? dir / "taken.avi" : dir / "missing" / "k.avi";
  if (GetParam().existing) std::ofstream(file) << "someone else's";

  const Status status = StartRecording(graph, QPath(file));
  EXPECT_TRUE(media::Failed(status)) << status;
  if (GetParam().existing) {
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "someone else's");
  } else {
    EXPECT_FALSE(std::filesystem::exists(file.parent_path()));
  }
  const std::uint64_t before = Stats(graph).previewFrames;
  EXPECT_TRUE(PumpUntil([&] { return Stats(graph).previewFrames > before + 5; }, 3s));

  const auto good = dir / "good.avi";
  ASSERT_EQ(StartRecording(graph, QPath(good)), 0);
  Pump(1000ms);
  EXPECT_EQ(StopAndFinish(graph), 0);
  EXPECT_EQ(DecodeErrors(good), "");
  ASSERT_TRUE(ProbeFile(good));
}

INSTANTIATE_TEST_SUITE_P(Graph, RefusedFile,
                         ::testing::Values(RefusedCase{"ExistingFile", true},
                                           RefusedCase{"MissingFolder", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A microphone that has gone since it was listed fails the recording; the
// file is not made at all, rather than recorded without the sound unseen.
TEST_F(GraphTest, MicrophoneGoneBeforeRecordingFailsItAndLeavesNoFile) {
  QString mic;
  {
    streamtest::PulseModule ghost("module-null-source source_name=ghost");
    ASSERT_TRUE(ghost.loaded()) << ghost.error();
    mic = Microphone("ghost");
    ASSERT_FALSE(mic.isEmpty());
  }
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  TempDir dir;
  const auto file = dir / "k.avi";
  QString why;
  EXPECT_TRUE(media::Failed(StartRecording(graph, QPath(file), &why)));
  EXPECT_TRUE(why.startsWith("the microphone cannot be recorded: ")) << why.toStdString();
  EXPECT_FALSE(std::filesystem::exists(file));
  Pump(500ms);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(Stats(graph).recording);
  const std::uint64_t before = Stats(graph).previewFrames;
  EXPECT_TRUE(PumpUntil([&] { return Stats(graph).previewFrames > before + 5; }, 3s));
}

// kinovo-probe record, as the benchmark runs it: a recording through the
// graph with the sine microphone, and the graph's counters in its report.
TEST_F(GraphTest, ProbeRecordsAndReportsTheGraphsCounters) {
  TempDir dir;
  const auto file = dir / "probe.avi";
  const auto [status, output] = streamtest::RunCommand(
      "(" + std::string(KINOVO_PROBE_PATH) + " record --camera 0 --format " + std::to_string(kMjpeg480) +
      " --fps 30 --mic 0 --seconds 2 --window 320x180 --out " + streamtest::Quote(file.string()) +
      " 2>/dev/null)");  // the report alone: the log goes elsewhere
  ASSERT_EQ(status, 0) << output;
  const QJsonObject report = QJsonDocument::fromJson(QByteArray::fromStdString(output)).object();
  auto number = [&](const char* key) { return report.value(QLatin1String(key)).toDouble(-1); };
  EXPECT_EQ(report.value("microphone").toString(), "Sine source at 440 Hz");
  EXPECT_NEAR(number("seconds"), 2.0, 0.2);
  EXPECT_GT(number("framesCaptured"), 0.9 * number("framesExpected"));
  EXPECT_EQ(number("framesRefused"), 0);
  EXPECT_GT(number("previewFramesShown"), 0);
  EXPECT_NEAR(number("audioSamplesWritten") / 48000.0, number("seconds"), 0.05);

  const std::optional<Probe> probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->streams, 2);
  const double frames = probe->Number(probe->video, "nb_frames");
  EXPECT_EQ(frames, number("framesWritten") + number("emptyFramesInserted"));
  EXPECT_NEAR(frames, number("framesExpected"), 1.0);
  EXPECT_EQ(DecodeErrors(file), "");
}

}  // namespace
}  // namespace kinovo::graphtest
