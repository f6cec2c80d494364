// Whole recordings in real time: the virtual camera and the test daemon's
// "sine" microphone into an AVI file, checked by ffprobe and ffmpeg.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "platform/media/stream/avi_writer.h"
#include "platform/media/stream/pulse_capture.h"
#include "platform/media/stream/v4l2_capture.h"
#include "support.h"
#include "vcam_env.h"

namespace kinovo::streamtest {
namespace {

using namespace std::chrono_literals;
using media::stream::AudioChunkPtr;
using media::stream::AudioFormat;
using media::stream::AviWriter;
using media::stream::MonotonicNowUs;
using media::stream::PulseCapture;
using media::stream::StreamFormat;
using media::stream::V4l2Capture;
using media::stream::VideoFramePtr;
namespace fourcc = media::stream::fourcc;

// Camera (and microphone) into a file, the way the capture graph wires them.
struct Recording {
  V4l2Capture camera;
  PulseCapture microphone;
  AviWriter writer;
  media::stream::Connection video, audio;
  std::int64_t startUs = 0;

  // `source`: the microphone, or none.
  void Start(const std::filesystem::path& file, const StreamFormat& format, const char* source) {
    const bool withSound = source != nullptr;
    ASSERT_FALSE(camera.Open("/dev/video0", format)) << "is the virtual camera loaded?";
    ASSERT_FALSE(camera.Start());
    std::optional<AudioFormat> sound;
    if (withSound) {
      ASSERT_FALSE(microphone.Start(source)) << "run inside scripts/with-services.sh";
      sound = AudioFormat{microphone.rate(), microphone.channels()};
    }
    startUs = MonotonicNowUs();
    ASSERT_FALSE(writer.Open(file, camera.format(), sound, startUs));
    video = camera.Connect([this](const VideoFramePtr& f) { writer.PushVideo(f); });
    if (withSound) audio = microphone.Connect([this](const AudioChunkPtr& c) { writer.PushAudio(c); });
  }
  // The recording's wall-clock length, in seconds.
  double Stop() {
    const std::int64_t endUs = MonotonicNowUs();
    video.Disconnect();
    audio.Disconnect();
    camera.Close();
    microphone.Stop();
    EXPECT_FALSE(writer.Close(endUs));
    return (endUs - startUs) / 1e6;
  }
};

void ExpectWallClockVideo(const Probe& probe, double seconds, double fps) {
  const double frames = probe.Number(probe.video, "nb_frames");
  EXPECT_NEAR(frames, seconds * fps, 1.0);
  EXPECT_NEAR(probe.Number(probe.video, "duration"), seconds, 1 / fps + 0.001);
}

TEST(Recording, CameraAndMicrophoneEndTogether) {
  TempDir dir;
  const auto file = dir / "recording.avi";
  Recording recording;
  ASSERT_NO_FATAL_FAILURE(recording.Start(file, {fourcc::kMJPEG, 640, 480, 0, {1, 30}}, "sine"));
  const int rate = recording.microphone.rate(), channels = recording.microphone.channels();
  std::this_thread::sleep_for(2500ms);
  const double seconds = recording.Stop();
  const auto stats = recording.writer.stats();
  EXPECT_EQ(stats.queueOverflows, 0u);
  EXPECT_GT(stats.framesWritten, 0.9 * seconds * 30);

  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->streams, 2);
  EXPECT_EQ(probe->Text(probe->video, "codec_name"), "mjpeg");
  EXPECT_EQ(probe->Text(probe->video, "codec_tag_string"), "MJPG");
  EXPECT_EQ(probe->Number(probe->video, "width"), 640);
  EXPECT_EQ(probe->Number(probe->video, "height"), 480);
  ExpectWallClockVideo(*probe, seconds, 30);
  EXPECT_EQ(probe->Text(probe->audio, "codec_name"), "pcm_s16le");
  EXPECT_EQ(probe->Number(probe->audio, "sample_rate"), rate);
  EXPECT_EQ(probe->Number(probe->audio, "channels"), channels);
  EXPECT_NEAR(DecodedAudioFrames(file, channels) / static_cast<double>(rate),
              probe->Number(probe->video, "nb_frames") / 30, 0.05);
  EXPECT_EQ(DecodeErrors(file), "");
}

// The camera is pulled out in the middle: the recording goes on with the
// sound, and the file, closed afterwards, is whole and as long as the
// recording.
TEST(Recording, CameraUnpluggedWhileRecording) {
  TempDir dir;
  const auto file = dir / "unplugged.avi";
  Recording recording;
  ASSERT_NO_FATAL_FAILURE(recording.Start(file, {fourcc::kMJPEG, 640, 480, 0, {1, 30}}, "sine"));
  std::this_thread::sleep_for(1000ms);
  std::optional<Unplug> unplug(0);
  ASSERT_TRUE(recording.camera.WaitUntilEnded(5s));
  std::this_thread::sleep_for(1000ms);
  const double seconds = recording.Stop();
  EXPECT_EQ(recording.camera.state(), V4l2Capture::State::Closed);

  const auto stats = recording.writer.stats();
  EXPECT_GT(stats.emptyFramesWritten, 0.6 * 30);
  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  ExpectWallClockVideo(*probe, seconds, 30);
  EXPECT_NEAR(DecodedAudioFrames(file, 1) / 48000.0, probe->Number(probe->video, "nb_frames") / 30, 0.05);
  EXPECT_EQ(DecodeErrors(file), "");
}

TEST(Recording, UncompressedVideoWithoutSound) {
  TempDir dir;
  const auto file = dir / "yuyv.avi";
  Recording recording;
  ASSERT_NO_FATAL_FAILURE(recording.Start(file, {fourcc::kYUYV, 320, 240, 0, {1, 15}}, nullptr));
  std::this_thread::sleep_for(2000ms);
  const double seconds = recording.Stop();

  const auto probe = ProbeFile(file);
  ASSERT_TRUE(probe);
  EXPECT_EQ(probe->streams, 1);
  EXPECT_EQ(probe->Text(probe->video, "codec_name"), "rawvideo");
  EXPECT_EQ(probe->Text(probe->video, "codec_tag_string"), "YUY2");
  EXPECT_EQ(probe->Text(probe->video, "r_frame_rate"), "15/1");
  ExpectWallClockVideo(*probe, seconds, 15);
  EXPECT_EQ(DecodeErrors(file), "");
}

}  // namespace
}  // namespace kinovo::streamtest
