// A recording past 1 GB (uncompressed 1080p fills it in about nine
// seconds): the file needs the extended index to be played to its end.

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "graph_fixture.h"
#include "tests/stream/support.h"

namespace kinovo::graphtest {
namespace {

using streamtest::Quote;
using streamtest::RunCommand;

TEST_F(GraphTest, RecordingPastOneGigabytePlaysToItsEndWithEveryFrame) {
  UseFormat(kYuyv1080);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  streamtest::TempDir dir;
  const auto file = dir / "large.avi";
  ASSERT_EQ(StartRecording(graph, QString::fromStdString(file.string())), 0);
  // Until the file is past 1 GiB by a second or so.
  constexpr std::uintmax_t kGiB = std::uintmax_t{1} << 30;
  EXPECT_TRUE(PumpUntil(
      [&] {
        std::error_code ec;
        return std::filesystem::file_size(file, ec) > kGiB + (std::uintmax_t{120} << 20);
      },
      60s));
  EXPECT_EQ(StopAndFinish(graph), 0);
  const media::CaptureStats stats = Stats(graph);
  const double seconds = static_cast<double>(stats.recordingEndUs - stats.recordingStartUs) / 1e6;
  EXPECT_EQ(stats.recordingError, "");
  EXPECT_GT(std::filesystem::file_size(file), kGiB);

  const auto probe = streamtest::ProbeFile(file);
  ASSERT_TRUE(probe);
  const double frames = probe->Number(probe->video, "nb_frames");
  // From the file's time zero (the start moved onto the camera's frame
  // times, up to half a frame earlier) to the stop, and the slot of a frame
  // captured just before the stop.
  const double fileSlots =
      std::round(static_cast<double>(stats.recordingEndUs - stats.zeroUs) / (1e6 / 30));
  EXPECT_GE(frames, fileSlots);
  EXPECT_LE(frames, fileSlots + 1);
  EXPECT_EQ(frames, static_cast<double>(stats.framesWritten + stats.emptyFramesWritten));
  // Decoded to the end: every picture, the last one at the end (empty
  // frames repeat the picture before and are not decoded).
  const auto [status, output] = RunCommand(
      "ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 " +
      Quote(file.string()));
  ASSERT_EQ(status, 0) << output.substr(0, 2000);
  std::vector<double> times;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty()) times.push_back(std::stod(line));
  }
  EXPECT_EQ(times.size(), stats.framesWritten);
  ASSERT_FALSE(times.empty());
  EXPECT_GE(times.back(), (frames - 4) / 30);
  EXPECT_EQ(streamtest::DecodeErrors(file), "");
  std::printf("%.0f frames in %.1f s, %llu written, %llu empty, %llu refused, file %llu bytes\n", frames,
              seconds, static_cast<unsigned long long>(stats.framesWritten),
              static_cast<unsigned long long>(stats.emptyFramesWritten),
              static_cast<unsigned long long>(stats.framesRefused),
              static_cast<unsigned long long>(std::filesystem::file_size(file)));
}

}  // namespace
}  // namespace kinovo::graphtest
