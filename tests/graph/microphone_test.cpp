// The recording's microphone stops or gives only silence: the picture goes
// on, the sound is silence from then on, and the recording reports it.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "capture/device_discovery.h"
#include "graph_fixture.h"
#include "tests/stream/support.h"

namespace kinovo::graphtest {
namespace {

using streamtest::DecodeErrors;
using streamtest::ProbeFile;
using streamtest::PulseModule;
using streamtest::Quote;
using streamtest::RunCommand;
using streamtest::TempDir;

// The file's first sound stream as mono 48 kHz samples, decoded by ffmpeg.
std::vector<std::int16_t> DecodedSound(const std::filesystem::path& file) {
  const std::filesystem::path pcm = file.string() + ".pcm";
  const auto [status, output] =
      RunCommand("ffmpeg -nostdin -v error -y -i " + Quote(file.string()) +
                 " -map 0:a:0 -ac 1 -ar 48000 -f s16le " + Quote(pcm.string()));
  EXPECT_EQ(status, 0) << output;
  std::ifstream in(pcm, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

// The largest magnitude between two moments of the sound, in seconds.
int PeakBetween(const std::vector<std::int16_t>& samples, double from, double to) {
  int peak = 0;
  const auto end = std::min(samples.size(), static_cast<std::size_t>(to * 48000));
  for (auto i = static_cast<std::size_t>(from * 48000); i < end; ++i) {
    peak = std::max(peak, std::abs(static_cast<int>(samples[i])));
  }
  return peak;
}

// The source is unplugged (its module unloaded) 1.5 s into the recording:
// the recording notices within a few seconds, goes on to its stop and says
// when the sound ended; the file has the tone up to then and silence after,
// as long as the picture.
TEST_F(GraphTest, MicrophoneThatStopsLeavesSilenceAndIsReportedWithTheTime) {
  std::optional<PulseModule> source(std::in_place,
                                    "module-remap-source master=speakers.monitor "
                                    "source_name=kinovo_leaving channels=1 channel_map=mono "
                                    "master_channel_map=front-left remix=no");
  ASSERT_TRUE(source->loaded()) << source->error();
  const QString mic = Microphone("kinovo_leaving");
  ASSERT_FALSE(mic.isEmpty());
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  TempDir dir;
  const auto file = dir / "stopped.avi";
  ASSERT_EQ(StartRecording(graph, QPath(file)), 0);
  ASSERT_TRUE(PumpUntil([&] { return RecordingSound(graph).heard; }, 3s));
  Pump(1500ms);
  EXPECT_FALSE(RecordingSound(graph).stoppedAt);
  EXPECT_FALSE(RecordingSound(graph).silentNow);

  source.reset();
  EXPECT_TRUE(PumpUntil([&] { return RecordingSound(graph).stoppedAt.has_value(); }, 4s));
  EXPECT_TRUE(RecordingSound(graph).silentNow);
  Pump(1000ms);
  QString why;
  media::SoundReport sound;
  EXPECT_EQ(StopAndFinish(graph, &why, &sound), 0);
  EXPECT_EQ(why, "");
  ASSERT_TRUE(sound.recorded);
  EXPECT_TRUE(sound.heard);
  ASSERT_TRUE(sound.stoppedAt);
  const media::CaptureStats stats = Stats(graph);
  const double seconds = (stats.recordingEndUs - stats.recordingStartUs) / 1e6;
  const double stoppedAt = sound.stoppedAt->count() / 1000.0;
  EXPECT_GT(stoppedAt, 1.4);
  EXPECT_LT(stoppedAt, seconds - 0.8);

  const std::optional<streamtest::Probe> probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->streams, 2);
  EXPECT_EQ(DecodeErrors(file), "");
  const std::vector<std::int16_t> samples = DecodedSound(file);
  EXPECT_NEAR(samples.size() / 48000.0, probe->Number(probe->video, "nb_frames") / 30, 0.05);
  EXPECT_NEAR(samples.size() / 48000.0, seconds, 0.1);
  EXPECT_GT(PeakBetween(samples, 0.3, stoppedAt - 0.1), 1000) << "the tone before the stop";
  EXPECT_EQ(PeakBetween(samples, stoppedAt + 0.1, seconds), 0) << "silence after it";
}

struct SilenceCase {
  const char* name;
  const char* module;  // loads the source; none: the daemon's "sine"
  const char* source;
  bool heard;
};

class SoundCheck : public GraphTest, public ::testing::WithParamInterface<SilenceCase> {};

// A microphone that gives only silence shows so after three seconds and is
// reported at the stop; one with sound is not.
TEST_P(SoundCheck, SilenceIsShownAndReported) {
  const SilenceCase& c = GetParam();
  std::optional<PulseModule> module;
  if (c.module) {
    module.emplace(c.module);
    ASSERT_TRUE(module->loaded()) << module->error();
  }
  const QString mic = Microphone(c.source);
  ASSERT_FALSE(mic.isEmpty());
  UseFormat(kMjpeg480);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, mic), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  TempDir dir;
  ASSERT_EQ(StartRecording(graph, QPath(dir / "check.avi")), 0);
  EXPECT_TRUE(RecordingSound(graph).recorded);
  EXPECT_FALSE(RecordingSound(graph).silentNow) << "not before three seconds";
  if (c.heard) {
    EXPECT_TRUE(PumpUntil([&] { return RecordingSound(graph).heard; }, 3s));
    Pump(3500ms);
    EXPECT_FALSE(RecordingSound(graph).silentNow);
  } else {
    EXPECT_TRUE(PumpUntil([&] { return RecordingSound(graph).silentNow; }, 6s));
  }
  QString why;
  media::SoundReport sound;
  EXPECT_EQ(StopAndFinish(graph, &why, &sound), 0);
  EXPECT_TRUE(sound.recorded);
  EXPECT_EQ(sound.heard, c.heard);
  EXPECT_FALSE(sound.stoppedAt);
  EXPECT_FALSE(RecordingSound(graph).recorded) << "nothing is recorded after the stop";
}

INSTANTIATE_TEST_SUITE_P(
    Graph, SoundCheck,
    ::testing::Values(SilenceCase{"Sine", nullptr, "sine", true},
                      SilenceCase{"MutedMicrophone", "module-null-source source_name=kinovo_muted",
                                  "kinovo_muted", false}),
    [](const auto& info) { return std::string(info.param.name); });

// Microphones that come and go reach the watcher, listed anew, on this
// thread; the others stay listed.
TEST_F(GraphTest, MicrophoneListFollowsTheSoundServer) {
  std::vector<AudioDevice> latest;
  const std::unique_ptr<media::DeviceWatch> watch =
      WatchAudioDevices([&](std::vector<AudioDevice> mics) { latest = std::move(mics); });
  ASSERT_TRUE(watch);
  const auto listed = [&](const char* source) -> const AudioDevice* {
    for (const AudioDevice& mic : latest) {
      if (mic.devicePath == QLatin1String(source)) return &mic;
    }
    return nullptr;
  };
  std::optional<PulseModule> module(
      std::in_place, "module-null-source source_name=kinovo_arriving description=Arriving");
  ASSERT_TRUE(module->loaded()) << module->error();
  ASSERT_TRUE(PumpUntil([&] { return listed("kinovo_arriving") != nullptr; }, 5s));
  EXPECT_EQ(listed("kinovo_arriving")->name, "Arriving");
  EXPECT_TRUE(listed("sine"));

  module.reset();
  EXPECT_TRUE(PumpUntil([&] { return listed("kinovo_arriving") == nullptr; }, 5s));
  EXPECT_TRUE(listed("sine"));
}

}  // namespace
}  // namespace kinovo::graphtest
