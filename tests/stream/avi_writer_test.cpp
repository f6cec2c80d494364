// The AVI writer on synthetic frames and sound with made-up timestamps;
// every file is checked by ffprobe and ffmpeg, not by our own reading.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <turbojpeg.h>

#include <chrono>
#include <csignal>
#include <cmath>
#include <thread>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/media/stream/avi_writer.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

using media::stream::AudioFormat;
using media::stream::AviWriter;
using media::stream::Fraction;
using media::stream::StreamFormat;
namespace fourcc = media::stream::fourcc;

constexpr std::int64_t kStart = 10'000'000;
constexpr std::int64_t kFrameUs = 1'000'000 / 30;

std::int64_t FrameTime(std::int64_t n) { return kStart + n * 1'000'000 / 30; }

void ExpectQuadrants(const QImage& picture, const Quadrants& q = {}) {
  ASSERT_FALSE(picture.isNull());
  const int w = picture.width(), h = picture.height();
  for (const auto& [x, y] : {std::pair{w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}}) {
    EXPECT_TRUE(Near(picture.pixelColor(x, y), q.At(x, y, w, h)))
        << "at " << x << "," << y << ": " << picture.pixelColor(x, y).name().toStdString() << " instead of "
        << q.At(x, y, w, h).name().toStdString();
  }
}

class AviWriterTest : public testing::Test {
 protected:
  TempDir dir;
};

// A camera that skipped half a second: the file keeps the wall-clock length,
// the skipped slots are empty frames, and sound runs on to the end.
TEST_F(AviWriterTest, MotionJpegWithSoundKeepsTheWallClockThroughACameraGap) {
  const auto file = dir / "gap.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(320, 240));
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 320, 240, 0, {1, 30}}, AudioFormat{48000, 1}, kStart));
  std::uint64_t audioFrame = 0;
  for (std::int64_t n = 0; n < 90; ++n) {
    // Sound up to this frame's time, in 20 ms chunks, as it would arrive.
    while (kStart + static_cast<std::int64_t>(audioFrame) * 1'000'000 / 48000 < FrameTime(n)) {
      ASSERT_TRUE(writer.PushAudio(ToneChunk(kStart + audioFrame * 1'000'000 / 48000, audioFrame, 960, 48000, 1)));
      audioFrame += 960;
    }
    if (n >= 30 && n < 45) continue;  // the camera delivered nothing here
    const std::int64_t jitter = (n % 3 - 1) * 4000;
    ASSERT_TRUE(writer.PushVideo(JpegFrame(jpeg, 320, 240, FrameTime(n) + jitter)));
  }
  while (audioFrame < 3 * 48000) {
    writer.PushAudio(ToneChunk(kStart + audioFrame * 1'000'000 / 48000, audioFrame, 960, 48000, 1));
    audioFrame += 960;
  }
  ASSERT_FALSE(writer.Close(kStart + 3'000'000));

  const AviWriter::Stats stats = writer.stats();
  EXPECT_EQ(stats.framesWritten, 75u);
  EXPECT_EQ(stats.emptyFramesWritten, 15u);
  EXPECT_EQ(stats.queueOverflows, 0u);
  EXPECT_EQ(stats.audioFramesWritten, 3u * 48000);

  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->streams, 2);
  EXPECT_EQ(probe->Text(probe->video, "codec_name"), "mjpeg");
  EXPECT_EQ(probe->Text(probe->video, "codec_tag_string"), "MJPG");
  EXPECT_EQ(probe->Number(probe->video, "width"), 320);
  EXPECT_EQ(probe->Number(probe->video, "height"), 240);
  EXPECT_EQ(probe->Text(probe->video, "r_frame_rate"), "30/1");
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 90);
  EXPECT_NEAR(probe->Number(probe->video, "duration"), 3.0, 1.0 / 30);
  EXPECT_EQ(probe->Text(probe->audio, "codec_name"), "pcm_s16le");
  EXPECT_EQ(probe->Number(probe->audio, "sample_rate"), 48000);
  EXPECT_EQ(probe->Number(probe->audio, "channels"), 1);
  const auto audioFrames = DecodedAudioFrames(file, 1);
  EXPECT_NEAR(audioFrames / 48000.0, probe->Number(probe->video, "nb_frames") / 30, 0.05);
  EXPECT_EQ(VideoPacketsWithData(file), 75);
  EXPECT_EQ(DecodeErrors(file), "");
  ExpectQuadrants(FirstPicture(file, 320, 240));
}

struct RawCase {
  std::uint32_t pixelFormat;
  const char* tag;
  const char* pixFmt;
  int bytesPerLine;  // the camera's row length for a 160-pixel row
  friend void PrintTo(const RawCase& c, std::ostream* os) { *os << c.tag << "/" << c.pixFmt; }
};

class AviRawFormatTest : public AviWriterTest, public testing::WithParamInterface<RawCase> {};

// Uncompressed formats are stored as they come, under the tag players
// know, rows packed tightly even when the driver padded them.
TEST_P(AviRawFormatTest, StoresTheCameraFormatUnderItsAviTag) {
  const RawCase& c = GetParam();
  const auto file = dir / "raw.avi";
  const QImage picture = QuadrantImage(160, 120);
  const auto frame = RawFrame(picture, c.pixelFormat, c.bytesPerLine);
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, frame->format, std::nullopt, kStart));
  for (int n = 0; n < 10; ++n) ASSERT_TRUE(writer.PushVideo(Retimed(frame, FrameTime(n), n)));
  ASSERT_FALSE(writer.Close());
  EXPECT_EQ(writer.stats().framesWritten, 10u);

  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->streams, 1);
  EXPECT_EQ(probe->Text(probe->video, "codec_name"), "rawvideo");
  EXPECT_EQ(probe->Text(probe->video, "codec_tag_string"), c.tag);
  EXPECT_EQ(probe->Text(probe->video, "pix_fmt"), c.pixFmt);
  EXPECT_EQ(probe->Number(probe->video, "width"), 160);
  EXPECT_EQ(probe->Number(probe->video, "height"), 120);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 10);
  EXPECT_EQ(DecodeErrors(file), "");
  if (c.pixelFormat == fourcc::kGREY) {
    const QImage decoded = FirstPicture(file, 160, 120);
    ASSERT_FALSE(decoded.isNull());
    const QColor tl = Quadrants{}.topLeft;
    const int luma = std::lround(0.299 * tl.red() + 0.587 * tl.green() + 0.114 * tl.blue());
    EXPECT_TRUE(Near(decoded.pixelColor(40, 30), QColor(luma, luma, luma), 3));
  } else {
    ExpectQuadrants(FirstPicture(file, 160, 120));
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, AviRawFormatTest,
                         testing::Values(RawCase{fourcc::kYUYV, "YUY2", "yuyv422", 2 * 160 + 64},
                                         RawCase{fourcc::kUYVY, "UYVY", "uyvy422", 0},
                                         RawCase{fourcc::kYUV420, "I420", "yuv420p", 192},
                                         RawCase{fourcc::kYVU420, "YV12", "yuv420p", 0},
                                         RawCase{fourcc::kNV12, "NV12", "nv12", 176},
                                         RawCase{fourcc::kNV21, "NV21", "nv21", 0},
                                         RawCase{fourcc::kGREY, "Y800", "gray", 192},
                                         RawCase{fourcc::kBGR24, "[0][0][0][0]", "bgr24", 3 * 160 + 16}),
                         [](const auto& info) {
                           std::string name = info.param.pixFmt + std::string("_") + std::to_string(info.index);
                           return name;
                         });

// The camera is gone after a second; sound goes on; the recording is
// stopped later. The file is whole and as long as the recording was.
TEST_F(AviWriterTest, ClosesAWholeFileAfterTheCameraVanished) {
  const auto file = dir / "vanished.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(160, 120));
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 160, 120, 0, {1, 30}}, AudioFormat{44100, 2}, kStart));
  for (int n = 0; n < 30; ++n) writer.PushVideo(JpegFrame(jpeg, 160, 120, FrameTime(n)));
  for (std::uint64_t f = 0; f < 2 * 44100; f += 882) {
    writer.PushAudio(ToneChunk(kStart + static_cast<std::int64_t>(f * 1'000'000 / 44100), f, 882, 44100, 2));
  }
  ASSERT_FALSE(writer.Close(kStart + 2'500'000));
  EXPECT_EQ(writer.stats().framesWritten, 30u);
  EXPECT_EQ(writer.stats().emptyFramesWritten, 45u);

  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 75);
  EXPECT_EQ(probe->Number(probe->audio, "channels"), 2);
  EXPECT_NEAR(DecodedAudioFrames(file, 2) / 44100.0, 2.5, 0.05);
  EXPECT_EQ(DecodeErrors(file), "");
}

// Without an end time both streams end with the longer one.
TEST_F(AviWriterTest, TheShorterStreamIsMadeAsLongAsTheLongerOne) {
  const auto file = dir / "pad.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(160, 120));
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 160, 120, 0, {1, 15}}, AudioFormat{48000, 1}, kStart));
  for (int n = 0; n < 30; ++n) writer.PushVideo(JpegFrame(jpeg, 160, 120, kStart + n * 1'000'000 / 15));
  for (std::uint64_t f = 0; f < 48000 * 3 / 2; f += 960) {
    writer.PushAudio(ToneChunk(kStart + static_cast<std::int64_t>(f * 1'000'000 / 48000), f, 960, 48000, 1));
  }
  ASSERT_FALSE(writer.Close());
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 30);
  EXPECT_EQ(DecodedAudioFrames(file, 1), 2 * 48000);
  EXPECT_EQ(DecodeErrors(file), "");
}

TEST_F(AviWriterTest, RefusesWhatItCannotStoreAndLeavesNoFile) {
  const auto file = dir / "refused.avi";
  AviWriter writer;
  EXPECT_EQ(writer.Open(file, {media::stream::Fourcc('R', 'G', 'B', '3'), 160, 120, 0, {1, 30}}, std::nullopt, kStart),
            std::errc::operation_not_supported);
  EXPECT_EQ(writer.Open(file, {fourcc::kMJPEG, 0, 120, 0, {1, 30}}, std::nullopt, kStart),
            std::errc::invalid_argument);
  EXPECT_EQ(writer.Open(dir / "no-such-folder" / "x.avi", {fourcc::kMJPEG, 160, 120, 0, {1, 30}}, std::nullopt,
                        kStart),
            std::errc::no_such_file_or_directory);
  EXPECT_FALSE(std::filesystem::exists(file));
  EXPECT_FALSE(writer.isOpen());
  EXPECT_FALSE(writer.PushVideo(JpegFrame(EncodeJpeg(QuadrantImage(16, 16)), 16, 16, kStart)));
}

// A full disk is a failure, reported as such, and never a hang.
TEST_F(AviWriterTest, AFullDiskIsReported) {
  const auto jpeg = EncodeJpeg(QuadrantImage(320, 240), 95);
  AviWriter writer;
  std::error_code error = writer.Open("/dev/full", {fourcc::kMJPEG, 320, 240, 0, {1, 30}}, std::nullopt, kStart);
  if (!error) {
    for (int n = 0; n < 200; ++n) writer.PushVideo(JpegFrame(jpeg, 320, 240, FrameTime(n)));
    error = writer.Close();
  }
  EXPECT_EQ(error, std::errc::no_space_on_device) << error.message();
  EXPECT_TRUE(std::filesystem::exists("/dev/full"));
}

// Faults of the disk: the recording stops at once, and the file is whole
// (index and headers written) before Close() is even called.
class AviWriterFaultTest : public AviWriterTest {
 protected:
  // Pushes 1080p-sized Motion-JPEG frames and 20 ms of sound per frame
  // until the writer stops on its own; the frames pushed.
  int PushUntilStopped(AviWriter& writer, int limit = 5000) {
    const auto jpeg = EncodeJpeg(QuadrantImage(640, 480), 100, TJSAMP_444);
    int n = 0;
    for (; n < limit && !writer.error(); ++n) {
      writer.PushAudio(ToneChunk(FrameTime(n), static_cast<std::uint64_t>(n) * 1600, 1600, 48000, 1));
      writer.PushVideo(JpegFrame(jpeg, 640, 480, FrameTime(n)));
      if (n % 16 == 15) WaitForWriter(writer);
    }
    return n;
  }
  static void WaitForWriter(const AviWriter& writer) {
    for (int i = 0; i < 2000 && writer.stats().queueBytes > 0 && !writer.stats().finished; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  static void WaitUntilFinished(const AviWriter& writer) {
    for (int i = 0; i < 2000 && !writer.stats().finished; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_TRUE(writer.stats().finished) << "the file was not finished after the failure";
  }
  // The file as ffprobe and ffmpeg see it: every frame slot the writer
  // counted, a duration, and nothing that fails to decode.
  static void ExpectPlayable(const std::filesystem::path& file, const AviWriter::Stats& stats) {
    const auto probe = ProbeFile(file);
    ASSERT_TRUE(probe) << "ffprobe cannot read " << file;
    EXPECT_GT(probe->Number(probe->format, "duration"), 0);
    EXPECT_EQ(probe->Number(probe->video, "nb_frames"),
              static_cast<double>(stats.framesWritten + stats.emptyFramesWritten));
    EXPECT_EQ(VideoPacketsWithData(file), static_cast<std::int64_t>(stats.framesWritten));
    EXPECT_EQ(DecodeErrors(file), "");
  }
};

TEST_F(AviWriterFaultTest, AFullDiskStopsAtOnceAndLeavesAPlayableFile) {
  SmallDisk disk(std::size_t{6} << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  const auto file = disk / "full.avi";
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 640, 480, 0, {1, 30}}, AudioFormat{48000, 1}, kStart));
  const int pushed = PushUntilStopped(writer);
  ASSERT_EQ(writer.error(), std::errc::no_space_on_device) << writer.error().message();
  WaitUntilFinished(writer);
  const AviWriter::Stats stopped = writer.stats();
  EXPECT_GT(stopped.framesWritten, 30u);
  EXPECT_LT(stopped.framesWritten, static_cast<std::uint64_t>(pushed));
  ExpectPlayable(file, stopped);  // before Close(): the file is already whole

  // Nothing more is written, and Close() tells the same reason.
  for (int n = pushed; n < pushed + 30; ++n) {
    writer.PushVideo(JpegFrame(EncodeJpeg(QuadrantImage(64, 48)), 640, 480, FrameTime(n)));
  }
  EXPECT_EQ(writer.Close(FrameTime(pushed + 30)), std::errc::no_space_on_device);
  EXPECT_EQ(writer.stats().framesWritten, stopped.framesWritten);
  ExpectPlayable(file, writer.stats());
}

// Another program takes the last free byte between our checks: the write
// that fails is made again in the room of the reserve, and the file ends there.
TEST_F(AviWriterFaultTest, AWriteThatFailsIsMadeAgainFromTheReserve) {
  SmallDisk disk(std::size_t{8} << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  const auto file = disk / "race.avi";
  const auto frame = RawFrame(QuadrantImage(320, 240), fourcc::kYUYV);
  AviWriter::Options options;
  options.watchFreeSpace = false;  // only the failing write can notice
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, frame->format, AudioFormat{48000, 1}, kStart, options));
  int n = 0;
  for (; n < 20; ++n) writer.PushVideo(Retimed(frame, FrameTime(n), n));
  WaitForWriter(writer);
  ASSERT_TRUE(disk.Fill("other-program"));
  for (; n < 200 && !writer.error(); ++n) {
    writer.PushAudio(ToneChunk(FrameTime(n), static_cast<std::uint64_t>(n) * 1600, 1600, 48000, 1));
    writer.PushVideo(Retimed(frame, FrameTime(n), n));
    WaitForWriter(writer);
  }
  ASSERT_EQ(writer.error(), std::errc::no_space_on_device) << writer.error().message();
  WaitUntilFinished(writer);
  ExpectPlayable(file, writer.stats());
  EXPECT_EQ(writer.Close(), std::errc::no_space_on_device);
  EXPECT_GE(writer.stats().framesWritten, 20u);
}

// A disk full from the start: the recording fails and leaves no file at all.
TEST_F(AviWriterFaultTest, ADiskFullFromTheStartLeavesNoFile) {
  SmallDisk disk(std::size_t{8} << 20);
  if (!disk.ok()) GTEST_SKIP() << disk.why();
  ASSERT_TRUE(disk.Fill("other-program", 64 << 10));
  const auto file = disk / "none.avi";
  AviWriter writer;
  EXPECT_EQ(writer.Open(file, {fourcc::kMJPEG, 640, 480, 0, {1, 30}}, AudioFormat{48000, 1}, kStart),
            std::errc::no_space_on_device);
  EXPECT_FALSE(std::filesystem::exists(file));
}

// The largest file size the process may write (RLIMIT_FSIZE; FAT's 4 GB
// likewise): the recording stops short of it instead of failing in mid-write.
TEST_F(AviWriterFaultTest, AFileSizeLimitStopsTheRecordingShortOfIt) {
  const auto file = dir / "limited.avi";
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit limited = before;
  limited.rlim_cur = std::size_t{4} << 20;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
  AviWriter writer;
  std::error_code opened = writer.Open(file, {fourcc::kMJPEG, 640, 480, 0, {1, 30}}, AudioFormat{48000, 1}, kStart);
  if (!opened) {
    PushUntilStopped(writer);
    WaitUntilFinished(writer);
  }
  ::setrlimit(RLIMIT_FSIZE, &before);  // ffprobe and ffmpeg inherit it
  std::signal(SIGXFSZ, previousHandler);
  ASSERT_FALSE(opened) << opened.message();
  EXPECT_EQ(writer.error(), std::errc::file_too_large) << writer.error().message();
  EXPECT_LE(std::filesystem::file_size(file), limited.rlim_cur);
  ExpectPlayable(file, writer.stats());
  EXPECT_EQ(writer.Close(), std::errc::file_too_large);
}

// A recording without a single picture (a camera that failed at once) is a
// failure, and leaves no file behind.
TEST_F(AviWriterTest, ARecordingWithoutAnyPictureFailsAndLeavesNoFile) {
  for (const bool withSound : {false, true}) {
    SCOPED_TRACE(withSound ? "with sound" : "without sound");
    const auto file = dir / "nothing.avi";
    AviWriter writer;
    ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 320, 240, 0, {1, 30}},
                             withSound ? std::optional(AudioFormat{48000, 1}) : std::nullopt, kStart));
    if (withSound) {
      for (int n = 0; n < 50; ++n) writer.PushAudio(ToneChunk(FrameTime(n), n * 960u, 960, 48000, 1));
    }
    const std::error_code error = writer.Close(kStart + 2'000'000);
    EXPECT_EQ(error, (std::error_code{media::stream::writer_errc::kNoPicture, media::stream::WriterCategory()}));
    EXPECT_EQ(error.message(), "the camera delivered no picture");
    EXPECT_FALSE(std::filesystem::exists(file));
  }
}

// A disk slower than the camera: the queue refuses what does not fit,
// counts it, and the refused frames' slots become empty frames.
TEST_F(AviWriterTest, AFullQueueRefusesFramesAndCountsThem) {
  const auto file = dir / "overflow.avi";
  const auto frame = RawFrame(QuadrantImage(1920, 1080), fourcc::kYUYV);
  AviWriter::Options options;
  options.maxQueueBytes = std::size_t{4} << 20;  // one 1080p YUYV frame
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, frame->format, std::nullopt, kStart, options));
  std::vector<media::stream::VideoFramePtr> frames;
  for (int n = 0; n < 20; ++n) frames.push_back(Retimed(frame, FrameTime(n), n));
  int refused = 0;
  for (const auto& f : frames) refused += writer.PushVideo(f) ? 0 : 1;
  ASSERT_FALSE(writer.Close(FrameTime(20)));

  const AviWriter::Stats stats = writer.stats();
  EXPECT_GT(refused, 0);
  EXPECT_EQ(stats.queueOverflows, static_cast<std::uint64_t>(refused));
  EXPECT_LE(stats.queueHighWater, options.maxQueueBytes);
  EXPECT_EQ(stats.framesWritten + stats.emptyFramesWritten, 20u);
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 20);
  EXPECT_EQ(VideoPacketsWithData(file), static_cast<std::int64_t>(stats.framesWritten));
  EXPECT_EQ(DecodeErrors(file), "");
}

// A raw frame cut short would make decoders fail; its slot stays empty.
TEST_F(AviWriterTest, ARawFrameOfTheWrongSizeBecomesAnEmptyFrame) {
  const auto file = dir / "short.avi";
  const auto frame = RawFrame(QuadrantImage(160, 120), fourcc::kYUYV);
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, frame->format, std::nullopt, kStart));
  for (int n = 0; n < 10; ++n) {
    auto f = std::const_pointer_cast<media::stream::VideoFrame>(Retimed(frame, FrameTime(n), n));
    if (n == 4) f->Resize(f->size() / 2);
    writer.PushVideo(f);
  }
  ASSERT_FALSE(writer.Close());
  EXPECT_EQ(writer.stats().framesUnusable, 1u);
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 10);
  EXPECT_EQ(VideoPacketsWithData(file), 9);
  EXPECT_EQ(DecodeErrors(file), "");
}

// A camera that pauses as the recording starts: the slots before its first
// frame repeat that frame, and the counters say so, whatever the pause.
class AviLateFirstFrameTest : public AviWriterTest, public testing::WithParamInterface<int> {};

TEST_P(AviLateFirstFrameTest, SlotsBeforeTheFirstFrameRepeatItAndAreCounted) {
  const int late = GetParam();
  const auto file = dir / "late.avi";
  const auto frame = RawFrame(QuadrantImage(160, 120), fourcc::kYUYV);
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, frame->format, std::nullopt, kStart));
  int pushed = 0;
  for (int n = late; n < 20; ++n) {
    auto f = std::const_pointer_cast<media::stream::VideoFrame>(Retimed(frame, FrameTime(n), n));
    if (n == 12) f->Resize(f->size() / 2);  // unusable: an empty slot
    pushed += writer.PushVideo(f) ? 1 : 0;
    if (n == 15)
      pushed += writer.PushVideo(Retimed(frame, FrameTime(n) + 1000, n))
                    ? 1
                    : 0;  // a second one for the slot
  }
  ASSERT_FALSE(writer.Close());

  const AviWriter::Stats stats = writer.stats();
  EXPECT_EQ(stats.framesRepeated, static_cast<std::uint64_t>(late));
  EXPECT_EQ(stats.framesDiscarded, 1u);
  EXPECT_EQ(stats.framesUnusable, 1u);
  EXPECT_EQ(stats.framesWritten,
            stats.framesRepeated + pushed - stats.framesDiscarded - stats.framesUnusable);
  EXPECT_EQ(stats.framesWritten + stats.emptyFramesWritten, 20u);
  EXPECT_EQ(VideoPacketsWithData(file), 19);
  EXPECT_EQ(DecodeErrors(file), "");
  ExpectQuadrants(FirstPicture(file, 160, 120));
}

INSTANTIATE_TEST_SUITE_P(AviWriter, AviLateFirstFrameTest, testing::Values(0, 1, 4),
                         [](const auto& info) {
                           return "Late" + std::to_string(info.param) + "Slots";
                         });

// Frames of the moments after the stop, still on their way when it came,
// stay out of the file, and the sound ends with the picture.
TEST_F(AviWriterTest, FramesCapturedAfterTheEndAreLeftOut) {
  const auto file = dir / "end.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(160, 120));
  const std::int64_t endUs = FrameTime(20) + 1000;
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 160, 120, 0, {1, 30}}, AudioFormat{48000, 1}, kStart));
  // The end is set before anything is pushed, so that the writer thread's
  // pace cannot decide what is in the file.
  writer.EndVideoAt(endUs);
  writer.EndSoundAt(endUs);
  for (std::uint64_t f = 0; f < 48000; f += 960) {
    writer.PushAudio(ToneChunk(kStart + static_cast<std::int64_t>(f * 1'000'000 / 48000), f, 960, 48000, 1));
  }
  for (int n = 0; n < 30; ++n) ASSERT_TRUE(writer.PushVideo(JpegFrame(jpeg, 160, 120, FrameTime(n))));
  ASSERT_FALSE(writer.Close(endUs));

  EXPECT_EQ(writer.stats().framesWritten, 21u);
  EXPECT_EQ(writer.stats().framesDiscarded, 9u);
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 21);
  EXPECT_NEAR(DecodedAudioFrames(file, 1) / 48000.0, 21.0 / 30, 0.01);
  EXPECT_EQ(DecodeErrors(file), "");
}

// A recording that begins while the camera streams gets frames captured
// just before its start: they stay out, and the file begins on the grid of
// the first frame after the start, without an empty or doubled slot.
TEST_F(AviWriterTest, FramesCapturedBeforeTheStartAreLeftOut) {
  const auto file = dir / "start.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(160, 120));
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 160, 120, 0, {1, 30}}, std::nullopt, kStart));
  // On the camera's grid, 1 ms before the start and a frame before that.
  for (int n = -2; n < 20; ++n) {
    ASSERT_TRUE(
        writer.PushVideo(JpegFrame(jpeg, 160, 120, FrameTime(n) + FrameTime(1) - kStart - 1000)));
  }
  ASSERT_FALSE(writer.Close());
  // The first frame after the start is nearer the next slot: the start
  // moves back onto the camera's grid, and slot 0 repeats that frame.
  EXPECT_EQ(writer.stats().zeroUs, kStart - 1000);
  EXPECT_EQ(writer.stats().framesDiscarded, 2u);
  EXPECT_EQ(writer.stats().framesRepeated, 1u);
  EXPECT_EQ(writer.stats().emptyFramesWritten, 0u);
  EXPECT_EQ(writer.stats().framesWritten, 21u);
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 21);
  EXPECT_EQ(DecodeErrors(file), "");
}

// Motion-JPEG frames that no player could decode (cut short, noise, a
// header of another size) take an empty slot and are counted; whole ones,
// also with padding after their end, are stored as they came.
TEST_F(AviWriterTest, DamagedMotionJpegFramesLeaveTheirSlotsEmpty) {
  const auto file = dir / "damaged.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(160, 120));
  std::vector<std::uint8_t> padded = jpeg;
  padded.resize(jpeg.size() + 20000, 0);
  const std::vector<std::uint8_t> cut(jpeg.begin(),
                                      jpeg.begin() + static_cast<std::ptrdiff_t>(jpeg.size() / 2));
  std::vector<std::uint8_t> noise(jpeg.size());
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<std::uint8_t>(i * 131 + 7);
  const auto larger = EncodeJpeg(QuadrantImage(320, 240));
  const std::vector<std::uint8_t>* frames[] = {&jpeg, &cut, &padded, &noise, &larger, &jpeg};
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 160, 120, 0, {1, 30}}, std::nullopt, kStart));
  for (std::size_t n = 0; n < std::size(frames); ++n) {
    // Each claims the stream's size, as a camera's buffer does.
    ASSERT_TRUE(writer.PushVideo(JpegFrame(*frames[n], 160, 120, FrameTime(static_cast<int>(n)))));
  }
  ASSERT_FALSE(writer.Close());
  EXPECT_EQ(writer.stats().framesUnusable, 3u);
  EXPECT_EQ(writer.stats().framesWritten, 3u);
  EXPECT_EQ(writer.stats().emptyFramesWritten, 3u);
  EXPECT_EQ(VideoPacketsWithData(file), 3);
  EXPECT_EQ(DecodeErrors(file), "");
}

// A timestamp from another clock must not be filled up to with years of
// empty frames, nor an end time from another clock be padded to.
TEST_F(AviWriterTest, TimestampsFromAnotherClockAreLeftOut) {
  const auto file = dir / "clock.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(160, 120));
  const std::int64_t wallClockUs = 1'700'000'000'000'000;  // CLOCK_REALTIME, 2023
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 160, 120, 0, {1, 30}}, AudioFormat{8000, 1}, kStart));
  for (int n = 0; n < 30; ++n) writer.PushVideo(JpegFrame(jpeg, 160, 120, FrameTime(n)));
  writer.PushVideo(JpegFrame(jpeg, 160, 120, wallClockUs));
  writer.PushAudio(ToneChunk(wallClockUs, 0, 800, 8000, 1));
  ASSERT_FALSE(writer.Close(wallClockUs));
  EXPECT_EQ(writer.stats().framesDiscarded, 1u);
  EXPECT_EQ(writer.stats().audioChunksRejected, 1u);
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 30);
  EXPECT_EQ(DecodedAudioFrames(file, 1), 8000);
}

// The microphone stalls for half a minute and comes back: the stall is
// silence, in step with the picture.
TEST_F(AviWriterTest, AStalledMicrophoneLeavesSilenceInStep) {
  const auto file = dir / "stall.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(64, 48));
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 64, 48, 0, {1, 10}}, AudioFormat{8000, 1}, kStart));
  std::uint64_t sample = 0;
  for (int k = 0; k < 400; ++k) {  // 40 s of 100 ms chunks, 25 s of them missing
    const bool stalled = k >= 100 && k < 350;
    if (!stalled) {
      auto chunk = std::const_pointer_cast<media::stream::AudioChunk>(ToneChunk(kStart + k * 100'000, sample, 800, 8000, 1));
      chunk->discontinuity = k == 350;
      writer.PushAudio(chunk);
      sample += 800;
    }
    writer.PushVideo(JpegFrame(jpeg, 64, 48, kStart + k * 100'000, {1, 10}));
  }
  ASSERT_FALSE(writer.Close(kStart + 40'000'000));
  EXPECT_NEAR(static_cast<double>(writer.stats().audioFramesInserted), 25.0 * 8000, 800);
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->Number(probe->video, "nb_frames"), 400);
  EXPECT_EQ(DecodedAudioFrames(file, 1), 40 * 8000);
  EXPECT_EQ(DecodeErrors(file), "");
}

// Lip sync after a long run: ten minutes of a camera that flashes and a
// microphone that clicks at the same instants, every five seconds, where
// the microphone's clock runs 0.1 % fast (uncorrected, the last click would
// come 0.6 s before its flash) and its timestamps jitter late by up to
// 8 ms. In the file, decoded by ffmpeg, each flash and its click lie within
// one frame of each other, to the end.
TEST_F(AviWriterTest, FlashAndClickStayWithinAFrameForTenMinutesOfDrift) {
  const auto file = dir / "longsync.avi";
  const auto picture = EncodeJpeg(QuadrantImage(64, 48));
  QImage white(64, 48, QImage::Format_RGB32);
  white.fill(Qt::white);
  const auto flash = EncodeJpeg(white);
  const int rate = 8000;
  const double actualRate = 8008;
  const double seconds = 600;
  const std::int64_t periodUs = 5'000'000;
  const double frameUs = 1e6 / 30;
  // The camera's frames fall a third of a frame off the start's grid.
  const double cameraPhaseUs = frameUs / 3;
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 64, 48, 0, {1, 30}}, AudioFormat{rate, 1}, kStart));
  std::uint64_t audioFrame = 0;
  std::int64_t videoFrame = 0;
  std::uint64_t seed = 11;
  auto late = [&seed] {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::int64_t>(seed >> 33) % 8000;
  };
  const std::size_t chunk = 160;
  const auto endUs = kStart + static_cast<std::int64_t>(seconds * 1e6);
  // Sound is wanted up to where the graph would wait for it, when the
  // picture has stopped.
  std::optional<std::int64_t> soundUntilUs;
  for (;;) {
    const double audioUs = kStart + audioFrame * 1e6 / actualRate;
    const double videoUs = kStart + cameraPhaseUs + videoFrame * frameUs;
    if (videoUs >= endUs && !soundUntilUs) soundUntilUs = writer.EndSoundAt(endUs);
    if (soundUntilUs && audioUs >= *soundUntilUs + 20000) break;
    if (audioUs < videoUs || soundUntilUs) {
      auto sound = std::const_pointer_cast<media::stream::AudioChunk>(
          ToneChunk(static_cast<std::int64_t>(audioUs) + late(), audioFrame, chunk, rate, 1));
      for (std::size_t i = 0; i < chunk; ++i) {
        // A click of 2 ms from each event on, by the true capture time.
        const auto trueUs = static_cast<std::int64_t>(kStart + (audioFrame + i) * 1e6 / actualRate);
        if ((trueUs + periodUs / 2) % periodUs < 2000) sound->samples[i] = static_cast<std::int16_t>(sound->samples[i] + 20000);
      }
      ASSERT_TRUE(writer.PushAudio(sound));
      audioFrame += chunk;
    } else {
      // The frame nearest each event flashes; events fall halfway between
      // multiples of the period.
      const auto t = static_cast<std::int64_t>(videoUs);
      const std::int64_t fromEvent = t % periodUs - periodUs / 2;
      const bool lit = fromEvent >= -frameUs / 2 && fromEvent < frameUs / 2;
      ASSERT_TRUE(writer.PushVideo(JpegFrame(lit ? flash : picture, 64, 48, t)));
      ++videoFrame;
    }
  }
  ASSERT_FALSE(writer.Close(endUs));

  const std::vector<double> flashes = FlashTimes(file);
  const std::vector<double> clicks = ClickTimes(file);
  EXPECT_NEAR(static_cast<double>(flashes.size()), seconds * 1e6 / periodUs, 1.0);
  EXPECT_NEAR(static_cast<double>(clicks.size()), seconds * 1e6 / periodUs, 1.0);
  const std::vector<double> errors = SyncErrors(flashes, clicks);
  ASSERT_FALSE(errors.empty());
  double worst = 0;
  for (std::size_t i = 0; i < errors.size(); ++i) {
    EXPECT_LE(std::abs(errors[i]), 1.0 / 30) << "flash at " << flashes[i] << " s";
    worst = std::max(worst, std::abs(errors[i]));
  }
  EXPECT_GE(flashes.back(), seconds - 6) << "the last flash is near the end";
  EXPECT_EQ(writer.stats().audioSilenceInserted, 0u);
  RecordProperty("worst_sync_error_ms", std::to_string(worst * 1000));
}

struct ChunkingCase {
  const char* name;
  int rate;
  int channels;
  Fraction interval;
  friend void PrintTo(const ChunkingCase& c, std::ostream* os) { *os << c.name; }
};

class AviSoundChunkTest : public testing::TestWithParam<ChunkingCase> {};

// Sound that comes in 5 ms chunks goes into the file in chunks of one
// frame's length (the demuxer keeps an index entry per chunk in memory),
// and the sound captured after the end stays out: both streams end
// together.
TEST_P(AviSoundChunkTest, SoundGoesInChunksOfOneFrameAndEndsWithThePicture) {
  const ChunkingCase& c = GetParam();
  TempDir dir;
  const auto file = dir / "chunks.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(64, 48));
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 64, 48, 0, c.interval}, AudioFormat{c.rate, c.channels}, kStart));
  const double frameUs = 1e6 * c.interval.num / c.interval.den;
  const std::int64_t endUs = kStart + 2'000'000;
  const std::size_t chunk = static_cast<std::size_t>(c.rate / 200);
  std::uint64_t audioFrame = 0;
  std::int64_t videoFrame = 0;
  // Sound runs on a third of a second past the end, as a microphone's does
  // by the time it has delivered up to the end; the end is told when the
  // picture has stopped, as the graph does.
  bool ended = false;
  while (kStart + static_cast<std::int64_t>(audioFrame * 1e6 / c.rate) < endUs + 300'000) {
    const auto audioUs = kStart + static_cast<std::int64_t>(audioFrame * 1e6 / c.rate);
    const auto videoUs = kStart + static_cast<std::int64_t>(videoFrame * frameUs);
    if (videoUs >= endUs && !ended) {
      EXPECT_GE(writer.EndSoundAt(endUs), endUs);
      ended = true;
    }
    if (videoUs <= audioUs && videoUs < endUs) {
      ASSERT_TRUE(writer.PushVideo(JpegFrame(jpeg, 64, 48, videoUs, c.interval)));
      ++videoFrame;
    } else {
      ASSERT_TRUE(writer.PushAudio(ToneChunk(audioUs, audioFrame, chunk, c.rate, c.channels)));
      audioFrame += chunk;
    }
  }
  ASSERT_FALSE(writer.Close(endUs));

  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  const double frames = probe->Number(probe->video, "nb_frames");
  EXPECT_NEAR(frames, 2e6 / frameUs, 1.0);
  const double perFrame = c.rate * frameUs / 1e6;
  const std::vector<std::uint32_t> sizes = IndexedChunkSizes(file, "01wb");
  ASSERT_FALSE(sizes.empty());
  EXPECT_EQ(static_cast<double>(sizes.size()), frames);
  std::int64_t bytes = 0;
  const int blockAlign = 2 * c.channels;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE("chunk " + std::to_string(i));
    EXPECT_EQ(sizes[i] % blockAlign, 0u);
    EXPECT_NEAR(static_cast<double>(sizes[i] / blockAlign), perFrame, 1.0);
    bytes += sizes[i];
  }
  const std::int64_t decoded = DecodedAudioFrames(file, c.channels);
  EXPECT_EQ(decoded, bytes / blockAlign);
  EXPECT_NEAR(static_cast<double>(decoded), frames * perFrame, 1.0);
  EXPECT_EQ(writer.stats().audioSilenceInserted, 0u);
  EXPECT_EQ(DecodeErrors(file), "");
}

INSTANTIATE_TEST_SUITE_P(Rates, AviSoundChunkTest,
                         testing::Values(ChunkingCase{"mono_48000_at_30", 48000, 1, {1, 30}},
                                         ChunkingCase{"stereo_44100_at_29_97", 44100, 2, {1001, 30000}},
                                         ChunkingCase{"mono_8000_at_7_5", 8000, 1, {2, 15}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Ten minutes of a microphone 0.1 % fast, through the whole writer: the file's
// sound and picture end together (uncorrected they would be 0.6 s apart).
TEST_F(AviWriterTest, ADriftingMicrophoneEndsWithThePicture) {
  const auto file = dir / "drift.avi";
  const auto jpeg = EncodeJpeg(QuadrantImage(64, 48));
  const int rate = 8000;
  const double actualRate = 8008;
  const double seconds = 600;
  AviWriter writer;
  ASSERT_FALSE(writer.Open(file, {fourcc::kMJPEG, 64, 48, 0, {1, 10}}, AudioFormat{rate, 1}, kStart));
  std::uint64_t audioFrame = 0;
  std::int64_t videoFrame = 0;
  std::uint64_t seed = 7;
  auto jitter = [&seed] {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::int64_t>(seed >> 33) % 6001 - 3000;
  };
  for (;;) {
    const double audioUs = kStart + audioFrame * 1e6 / actualRate;
    const std::int64_t videoUs = kStart + videoFrame * 100'000;
    if (std::min<double>(audioUs, videoUs) >= kStart + seconds * 1e6) break;
    if (audioUs < videoUs) {
      ASSERT_TRUE(writer.PushAudio(ToneChunk(static_cast<std::int64_t>(audioUs) + jitter(), audioFrame, 160, rate, 1)));
      audioFrame += 160;
    } else {
      ASSERT_TRUE(writer.PushVideo(JpegFrame(jpeg, 64, 48, videoUs, {1, 10})));
      ++videoFrame;
    }
  }
  ASSERT_FALSE(writer.Close());
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  const double videoSeconds = probe->Number(probe->video, "nb_frames") / 10;
  const double audioSeconds = DecodedAudioFrames(file, 1) / static_cast<double>(rate);
  EXPECT_NEAR(videoSeconds, seconds, 0.1);
  EXPECT_NEAR(audioSeconds, videoSeconds, 0.05);
  EXPECT_NEAR(static_cast<double>(writer.stats().audioFramesDropped), seconds * (actualRate - rate), 0.1 * seconds * 8);
  EXPECT_EQ(DecodeErrors(file), "");
}

}  // namespace
}  // namespace kinovo::streamtest
