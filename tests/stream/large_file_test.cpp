// A recording past 1 GB: 1080p YUYV at 30 frames per second, written as fast
// as the disk takes it. The file must stay whole past the AVI 1.0 limit
// (OpenDML index), readable and seekable to its end.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "platform/media/stream/avi_writer.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

using namespace std::chrono_literals;
using media::stream::AviWriter;
namespace fourcc = media::stream::fourcc;

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 300;
constexpr std::int64_t kStart = 1'000'000;

// Each frame carries its number in its bytes.
std::uint8_t Mark(int n) { return static_cast<std::uint8_t>(16 + n % 200); }

TEST(LargeFile, PastOneGigabyteTheFileStaysWholeAndSeekable) {
  TempDir dir;
  const auto file = dir / "large.avi";
  const media::stream::StreamFormat format{fourcc::kYUYV, kWidth, kHeight, 2 * kWidth, {1, 30}};
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, format, std::nullopt, kStart));
  const std::size_t frameBytes = std::size_t{2} * kWidth * kHeight;
  for (int n = 0; n < kFrames; ++n) {
    auto frame = media::stream::VideoFrame::Create(frameBytes);
    std::memset(frame->bytes().data(), Mark(n), frameBytes);
    frame->format = format;
    frame->timestampUs = kStart + n * 1'000'000LL / 30;
    // As fast as the disk goes, without outrunning the queue.
    while (writer.stats().queueBytes > (std::size_t{128} << 20)) std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(writer.PushVideo(std::move(frame)));
  }
  ASSERT_FALSE(writer.Close());
  EXPECT_EQ(writer.stats().framesWritten, static_cast<std::uint64_t>(kFrames));
  EXPECT_GT(std::filesystem::file_size(file), std::uintmax_t{1} << 30);

  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Text(probe->video, "codec_tag_string"), "YUY2");
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), kFrames);
  EXPECT_NEAR(probe->Number(probe->video, "duration"), 10.0, 1.0 / 30);
  EXPECT_EQ(VideoPacketsWithData(file), kFrames);
  EXPECT_EQ(DecodeErrors(file), "");

  // Seeking near the end finds the right frame.
  const auto out = dir / "frame.yuv";
  const auto [status, output] =
      RunCommand("ffmpeg -nostdin -v error -ss 9.9 -i " + Quote(file.string()) +
                 " -frames:v 1 -f rawvideo -pix_fmt yuyv422 -y " + Quote(out.string()));
  ASSERT_EQ(status, 0) << output;
  std::ifstream in(out, std::ios::binary);
  char first = 0;
  in.read(&first, 1);
  EXPECT_EQ(static_cast<std::uint8_t>(first), Mark(297));
}

}  // namespace
}  // namespace kinovo::streamtest
