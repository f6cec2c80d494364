// V4L2 capture from the virtual camera (profiles/stream.ini).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/media/stream/v4l2_capture.h"
#include "support.h"
#include "vcam_env.h"

namespace kinovo::streamtest {
namespace {

using namespace std::chrono_literals;
using media::stream::Fraction;
using media::stream::MonotonicNowUs;
using media::stream::StreamFormat;
using media::stream::V4l2Capture;
using media::stream::VideoFramePtr;
namespace fourcc = media::stream::fourcc;

const StreamFormat kMjpeg{fourcc::kMJPEG, 640, 480, 0, {1, 30}};
const StreamFormat kYuyv{fourcc::kYUYV, 320, 240, 0, {1, 30}};

// Collects frames as a sink would, without holding up the capture thread
// for longer than a push.
class Collector {
 public:
  void Add(const VideoFramePtr& frame) {
    {
      std::lock_guard lock(mutex_);
      frames_.push_back(frame);
    }
    changed_.notify_all();
  }
  bool WaitFor(std::size_t count, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return frames_.size() >= count; });
  }
  std::vector<VideoFramePtr> frames() {
    std::lock_guard lock(mutex_);
    return frames_;
  }
  std::size_t size() {
    std::lock_guard lock(mutex_);
    return frames_.size();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<VideoFramePtr> frames_;
};

struct RateCase {
  StreamFormat format;
  friend void PrintTo(const RateCase& c, std::ostream* os) {
    *os << (c.format.pixelFormat == fourcc::kMJPEG ? "MJPG " : "YUYV ") << c.format.width << "x"
        << c.format.height << " 1/" << c.format.interval.den;
  }
};

class V4l2RateTest : public testing::TestWithParam<RateCase> {};

// Every frame arrives, in order, with the camera's own capture time and
// counter, at the negotiated rate.
TEST_P(V4l2RateTest, FramesArriveAtTheCameraRateWithMonotonicTimestamps) {
  const StreamFormat requested = GetParam().format;
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video0", requested)) << "is the virtual camera loaded?";
  const StreamFormat applied = capture.format();
  EXPECT_EQ(applied.pixelFormat, requested.pixelFormat);
  EXPECT_EQ(applied.width, requested.width);
  EXPECT_EQ(applied.height, requested.height);
  EXPECT_EQ(applied.interval, requested.interval);

  Collector collector;
  const auto connection = capture.Connect([&](const VideoFramePtr& f) { collector.Add(f); });
  const std::int64_t begin = MonotonicNowUs();
  ASSERT_FALSE(capture.Start());
  std::this_thread::sleep_for(1500ms);
  capture.Stop();
  const std::int64_t end = MonotonicNowUs();

  const auto frames = collector.frames();
  const double fps = static_cast<double>(requested.interval.den) / requested.interval.num;
  const double expected = (end - begin) / 1e6 * fps;
  EXPECT_GE(static_cast<double>(frames.size()), 0.7 * expected);
  EXPECT_LE(static_cast<double>(frames.size()), expected + 1);
  ASSERT_GE(frames.size(), 2u);

  const double intervalUs = 1e6 / fps;
  std::uint64_t gaps = 0;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto& f = *frames[i];
    EXPECT_GE(f.timestampUs, begin);
    EXPECT_LE(f.timestampUs, end);
    EXPECT_EQ(f.format, applied);
    if (requested.pixelFormat == fourcc::kYUYV) {
      EXPECT_EQ(f.size(), 2u * requested.width * requested.height);
    } else {
      std::unique_ptr<void, int (*)(tjhandle)> tj(tjInitDecompress(), tjDestroy);
      int w = 0, h = 0, sub = 0, cs = 0;
      ASSERT_EQ(tjDecompressHeader3(tj.get(), f.bytes().data(), static_cast<unsigned long>(f.size()), &w, &h,
                                    &sub, &cs), 0);
      EXPECT_EQ(w, 640);
      EXPECT_EQ(h, 480);
    }
    if (i == 0) continue;
    const auto& previous = *frames[i - 1];
    ASSERT_GT(f.sequence, previous.sequence);
    EXPECT_GT(f.timestampUs, previous.timestampUs);
    gaps += f.sequence - previous.sequence - 1;
    // The camera stamps each frame on its own tick.
    EXPECT_NEAR(static_cast<double>(f.timestampUs - frames[0]->timestampUs),
                (f.sequence - frames[0]->sequence) * intervalUs, 1000.0);
  }
  EXPECT_EQ(capture.stats().framesDelivered, frames.size());
  EXPECT_EQ(capture.stats().framesMissed, gaps);
  EXPECT_EQ(capture.state(), V4l2Capture::State::Ready);
}

INSTANTIATE_TEST_SUITE_P(Formats, V4l2RateTest,
                         testing::Values(RateCase{kMjpeg}, RateCase{kYuyv},
                                         RateCase{{fourcc::kYUYV, 320, 240, 0, {1, 15}}}));

// A camera that falls silent without an error (a USB hiccup): the capture
// thread notices within a few frame periods, counts the stall once, and
// goes on when frames come back, with their own capture times.
TEST(V4l2Capture, ASilentCameraIsCountedAsOneStallAndFramesComeBack) {
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video2", {fourcc::kMJPEG, 320, 240, 0, {1, 30}}));
  Collector collector;
  const auto connection = capture.Connect([&](const VideoFramePtr& f) { collector.Add(f); });
  ASSERT_FALSE(capture.Start());
  // 0.6 s of frames, a second of silence, then frames again.
  ASSERT_TRUE(collector.WaitFor(70, 10s));
  capture.Stop();
  // Once for the second of silence; a loaded machine may add a late frame.
  EXPECT_GE(capture.stats().stalls, 1u);
  EXPECT_LE(capture.stats().stalls, 3u);
  EXPECT_EQ(capture.state(), V4l2Capture::State::Ready);
  const auto frames = collector.frames();
  std::int64_t longest = 0;
  for (std::size_t i = 1; i < frames.size(); ++i) {
    longest = std::max(longest, frames[i]->timestampUs - frames[i - 1]->timestampUs);
  }
  EXPECT_NEAR(longest / 1e6, 1.0, 0.1);
}

// A dequeue that fails while the camera stays (EIO on a USB hiccup) is
// retried: the stream goes on and the frame comes with the next attempt.
TEST(V4l2Capture, AFailedDequeueIsRetriedAndTheStreamGoesOn) {
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video5", {fourcc::kMJPEG, 320, 240, 0, {1, 30}}));
  Collector collector;
  const auto connection = capture.Connect([&](const VideoFramePtr& f) { collector.Add(f); });
  ASSERT_FALSE(capture.Start());
  ASSERT_TRUE(collector.WaitFor(45, 10s)) << collector.size() << " frames";
  EXPECT_EQ(capture.state(), V4l2Capture::State::Streaming);
  capture.Stop();
  EXPECT_GE(capture.stats().transientErrors, 4u);  // one in ten of 45 frames
  EXPECT_EQ(capture.stats().framesCorrupt, 0u);
  // Each failed frame came later, not never: the numbers run on.
  const auto frames = collector.frames();
  for (std::size_t i = 1; i < frames.size(); ++i)
    EXPECT_GT(frames[i]->sequence, frames[i - 1]->sequence);
}

// Dequeues that keep failing end the stream, with the driver's error, but
// only after they have gone on for a while without a frame.
TEST(V4l2Capture, APersistentDequeueFailureEndsTheStreamWithItsError) {
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video6", {fourcc::kMJPEG, 320, 240, 0, {1, 30}}));
  Collector collector;
  const auto connection = capture.Connect([&](const VideoFramePtr& f) { collector.Add(f); });
  const auto start = std::chrono::steady_clock::now();
  ASSERT_FALSE(capture.Start());
  ASSERT_TRUE(capture.WaitUntilEnded(10s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 2s);  // failing from 0.5 s, given 2 s
  EXPECT_EQ(capture.state(), V4l2Capture::State::Failed);
  EXPECT_EQ(capture.endError(), std::errc::io_error);
  EXPECT_GT(collector.size(), 5u);  // the frames of the first half second
  EXPECT_GT(capture.stats().transientErrors, 0u);
  capture.Stop();
}

// A camera that cannot stream (another program holds it, or it refuses to
// start) is reported by the call that failed, with the reason.
TEST(V4l2Capture, ABusyCameraIsReportedWhereItFails) {
  V4l2Capture held;
  EXPECT_EQ(held.Open("/dev/video3", {fourcc::kMJPEG, 320, 240, 0, {1, 30}}), std::errc::device_or_resource_busy);
  EXPECT_EQ(held.state(), V4l2Capture::State::Closed);
  EXPECT_EQ(held.failedCall(), "VIDIOC_REQBUFS");

  V4l2Capture stuck;
  ASSERT_FALSE(stuck.Open("/dev/video4", {fourcc::kMJPEG, 320, 240, 0, {1, 30}}));
  EXPECT_EQ(stuck.failedCall(), "");
  EXPECT_EQ(stuck.Start(), std::errc::device_or_resource_busy);
  EXPECT_EQ(stuck.state(), V4l2Capture::State::Ready);
  EXPECT_EQ(stuck.failedCall(), "VIDIOC_STREAMON");
  stuck.Close();
}

// Unplugged while streaming: the thread ends by itself, says why, and
// everything can be stopped and closed without waiting.
TEST(V4l2Capture, UnplugEndsTheCaptureThreadAndReportsTheLostDevice) {
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video0", kMjpeg));
  Collector collector;
  std::atomic<int> endings{0};
  std::error_code reported;
  const auto frames = capture.Connect([&](const VideoFramePtr& f) { collector.Add(f); });
  const auto ended = capture.ConnectEnded([&](const std::error_code& e) {
    reported = e;
    ++endings;
  });
  ASSERT_FALSE(capture.Start());
  ASSERT_TRUE(collector.WaitFor(5));

  Unplug unplug(0);
  ASSERT_TRUE(capture.WaitUntilEnded(5s)) << "the capture thread did not end";
  EXPECT_EQ(capture.state(), V4l2Capture::State::DeviceLost);
  EXPECT_EQ(capture.endError(), std::errc::no_such_device);
  EXPECT_EQ(endings.load(), 1);
  EXPECT_EQ(reported, std::errc::no_such_device);
  const std::size_t delivered = collector.size();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(collector.size(), delivered);
  capture.Stop();
  capture.Close();
  EXPECT_EQ(capture.state(), V4l2Capture::State::Closed);
}

TEST(V4l2Capture, StartingOnAnUnpluggedCameraFails) {
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video0", kYuyv));
  Unplug unplug(0);
  EXPECT_EQ(capture.Start(), std::errc::no_such_device);
  EXPECT_NE(capture.state(), V4l2Capture::State::Streaming);
}

struct OpenCase {
  const char* node;
  StreamFormat format;
  std::errc expected;
  friend void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.node; }
};

TEST(V4l2Capture, RefusesWhatItCannotStream) {
  const OpenCase cases[] = {
      {"/dev/video7", kMjpeg, std::errc::no_such_file_or_directory},
      // The driver would fall back to another format; a file labelled as
      // H.264 holding Motion-JPEG would be unreadable.
      {"/dev/video0", {fourcc::kH264, 640, 480, 0, {1, 30}}, std::errc::invalid_argument},
      {"/dev/video1", kMjpeg, std::errc::operation_not_supported},  // the metadata node
  };
  for (const OpenCase& c : cases) {
    V4l2Capture capture;
    EXPECT_EQ(capture.Open(c.node, c.format), c.expected) << c.node;
    EXPECT_EQ(capture.state(), V4l2Capture::State::Closed);
    EXPECT_TRUE(capture.Start()) << "started without a device";
  }
}

TEST(V4l2Capture, ADisconnectedSinkIsNeverCalledAgain) {
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video0", kYuyv));
  Collector first, second;
  auto a = capture.Connect([&](const VideoFramePtr& f) { first.Add(f); });
  auto b = capture.Connect([&](const VideoFramePtr& f) { second.Add(f); });
  ASSERT_FALSE(capture.Start());
  ASSERT_TRUE(first.WaitFor(3));
  a.Disconnect();
  const std::size_t seen = first.size();
  const std::size_t before = second.size();
  ASSERT_TRUE(second.WaitFor(before + 5));
  EXPECT_EQ(first.size(), seen);
}

// A consumer that holds the capture thread up (which sinks must not do)
// stands here for a machine too busy to run it: the camera drops frames
// meanwhile, and the gaps in its counter are counted.
TEST(V4l2Capture, FramesTheCameraCouldNotDeliverAreCounted) {
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video0", kYuyv));
  Collector collector;
  const auto connection = capture.Connect([&](const VideoFramePtr& f) {
    if (collector.size() == 5) std::this_thread::sleep_for(400ms);
    collector.Add(f);
  });
  ASSERT_FALSE(capture.Start());
  ASSERT_TRUE(collector.WaitFor(30));
  capture.Stop();
  const auto frames = collector.frames();
  std::uint64_t gaps = 0;
  for (std::size_t i = 1; i < frames.size(); ++i) gaps += frames[i]->sequence - frames[i - 1]->sequence - 1;
  EXPECT_GT(gaps, 0u);
  EXPECT_EQ(capture.stats().framesMissed, gaps);
}

// A descriptor opened elsewhere is used with its current format, and
// everything is given back on Close: buffers freed, mappings and
// descriptor released.
TEST(V4l2Capture, UsesAnOpenDescriptorAndReleasesEverything) {
  media::linux_backend::UniqueFd fd(::open("/dev/video0", O_RDWR | O_CLOEXEC));
  ASSERT_TRUE(fd);
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open(std::move(fd), std::nullopt));
  EXPECT_EQ(capture.format().pixelFormat, fourcc::kMJPEG);  // the camera's first format
  EXPECT_EQ(capture.format().width, 640);
  Collector collector;
  const auto connection = capture.Connect([&](const VideoFramePtr& f) { collector.Add(f); });
  ASSERT_FALSE(capture.Start());
  ASSERT_TRUE(collector.WaitFor(3));
  const std::size_t logged = VcamLog().size();
  capture.Close();
  const auto log = VcamLog();
  const std::vector<std::string> after(log.begin() + static_cast<long>(logged), log.end());
  EXPECT_NE(std::find(after.begin(), after.end(), "video0 streamoff"), after.end());
  EXPECT_NE(std::find(after.begin(), after.end(), "video0 reqbufs 0"), after.end());
  EXPECT_NE(std::find(after.begin(), after.end(), "video0 close"), after.end());
}

TEST(V4l2Capture, StreamsAgainAfterStop) {
  V4l2Capture capture;
  ASSERT_FALSE(capture.Open("/dev/video0", kMjpeg));
  Collector collector;
  const auto connection = capture.Connect([&](const VideoFramePtr& f) { collector.Add(f); });
  ASSERT_FALSE(capture.Start());
  ASSERT_TRUE(collector.WaitFor(3));
  capture.Stop();
  const std::size_t seen = collector.size();
  ASSERT_FALSE(capture.Start());
  ASSERT_TRUE(collector.WaitFor(seen + 3));
  EXPECT_EQ(capture.state(), V4l2Capture::State::Streaming);
}

}  // namespace
}  // namespace kinovo::streamtest
