// PulseAudio capture from the test daemon of scripts/with-services.sh, whose
// "sine" source plays 440 Hz at 48 kHz.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/media/stream/pulse_capture.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

using namespace std::chrono_literals;
using media::stream::AudioChunkPtr;
using media::stream::MonotonicNowUs;
using media::stream::PulseCapture;
using media::stream::PulseCategory;
namespace pulse_errc = media::stream::pulse_errc;

class Chunks {
 public:
  void Add(const AudioChunkPtr& chunk) {
    std::lock_guard lock(mutex_);
    chunks_.push_back(chunk);
  }
  std::vector<AudioChunkPtr> all() {
    std::lock_guard lock(mutex_);
    return chunks_;
  }

 private:
  std::mutex mutex_;
  std::vector<AudioChunkPtr> chunks_;
};

struct Recorded {
  std::vector<AudioChunkPtr> chunks;
  std::vector<std::int16_t> samples;
  std::int64_t beginUs = 0;
  std::int64_t endUs = 0;
  int rate = 0;
  int channels = 0;
  double seconds() const { return (endUs - beginUs) / 1e6; }
};

// Records `source` for `duration`; the chunks must follow each other
// without a sample missing or repeated.
Recorded Record(const std::string& source, std::chrono::milliseconds duration) {
  Recorded r;
  PulseCapture capture;
  Chunks chunks;
  const auto connection = capture.Connect([&](const AudioChunkPtr& c) { chunks.Add(c); });
  r.beginUs = MonotonicNowUs();
  const std::error_code error = capture.Start(source);
  EXPECT_FALSE(error) << error.message() << " (run inside scripts/with-services.sh)";
  if (error) return r;
  r.rate = capture.rate();
  r.channels = capture.channels();
  std::this_thread::sleep_for(duration);
  r.endUs = MonotonicNowUs();
  capture.Stop();
  EXPECT_EQ(capture.state(), PulseCapture::State::Idle);
  r.chunks = chunks.all();
  std::uint64_t next = 0;
  for (const auto& c : r.chunks) {
    EXPECT_EQ(c->rate, r.rate);
    EXPECT_EQ(c->channels, r.channels);
    EXPECT_EQ(c->firstFrame, next) << "samples missing or repeated";
    next = c->firstFrame + c->frames();
    r.samples.insert(r.samples.end(), c->samples.begin(), c->samples.end());
  }
  EXPECT_EQ(capture.stats().framesDelivered, r.samples.size() / std::max(1, r.channels));
  return r;
}

// The first channel is a `hz` tone: two zero crossings per period.
void ExpectTone(const std::vector<std::int16_t>& samples, int rate, int channels, double hz) {
  int crossings = 0;
  int peak = 0;
  const std::size_t frames = samples.size() / channels;
  for (std::size_t i = 1; i < frames; ++i) {
    const int a = samples[(i - 1) * channels], b = samples[i * channels];
    if ((a < 0) != (b < 0)) ++crossings;
    peak = std::max(peak, std::abs(b));
  }
  EXPECT_GT(peak, 1000);
  EXPECT_NEAR(crossings / (frames / static_cast<double>(rate)), 2 * hz, 2 * hz * 0.03);
}

// The source's own rate and channels (48 kHz mono), every sample in order,
// each chunk stamped with the time its first sample was captured. While the
// stream starts, the server settles its latency and early stamps can err
// late; once it has, capture time less stream position stays put, which is
// what the file writer follows.
TEST(PulseCapture, RecordsTheSineSourceAtItsOwnRateWithTimestamps) {
  const Recorded r = Record("sine", 4500ms);
  EXPECT_EQ(r.rate, 48000);
  EXPECT_EQ(r.channels, 1);
  ASSERT_FALSE(r.chunks.empty());
  const double seconds = static_cast<double>(r.samples.size()) / 48000;
  EXPECT_GE(seconds, r.seconds() - 2.1);
  EXPECT_LE(seconds, r.seconds() + 2.1);
  std::vector<double> offsets;  // capture time less stream position
  for (const auto& c : r.chunks) {
    // Captured before it came. The stamps are estimated from the server's
    // latency report, which can be a fraction of a millisecond behind.
    EXPECT_LE(c->timestampUs + static_cast<std::int64_t>(c->frames() * 1e6 / 48000), r.endUs + 2000);
    EXPECT_GE(c->timestampUs, r.beginUs - 2'100'000);
    offsets.push_back(c->timestampUs - c->firstFrame * 1e6 / 48000);
  }
  // The second half: one clock, within 50 ms.
  const std::vector<double> settled(offsets.begin() + static_cast<long>(offsets.size() / 2), offsets.end());
  ASSERT_FALSE(settled.empty());
  const auto [low, high] = std::minmax_element(settled.begin(), settled.end());
  EXPECT_LT(*high - *low, 50000.0);
  ExpectTone(r.samples, 48000, 1, 440);
}

// A recording that stops takes what was said just before the stop: the
// sound up to a moment has been handed on when WaitDelivered says so, and
// a stopped capture is not waited for.
TEST(PulseCapture, WaitsUntilTheSoundUpToAMomentHasBeenDelivered) {
  PulseCapture capture;
  Chunks chunks;
  const auto connection = capture.Connect([&](const AudioChunkPtr& c) { chunks.Add(c); });
  ASSERT_FALSE(capture.Start("sine")) << "run inside scripts/with-services.sh";
  std::this_thread::sleep_for(300ms);
  const std::int64_t stopUs = MonotonicNowUs();
  ASSERT_TRUE(capture.WaitDelivered(stopUs, 5000ms));
  const std::vector<AudioChunkPtr> got = chunks.all();
  ASSERT_FALSE(got.empty());
  const auto& last = got.back();
  EXPECT_GE(last->timestampUs + static_cast<std::int64_t>(last->frames() * 1e6 / last->rate), stopUs);
  capture.Stop();
  EXPECT_FALSE(capture.WaitDelivered(MonotonicNowUs() + 1'000'000, 60000ms));
}

TEST(PulseCapture, WithoutAServerItFailsAtOnce) {
  PulseCapture capture;
  PulseCapture::Options options;
  options.server = "unix:/nonexistent/kinovo/pulse/native";
  const std::error_code error = capture.Start("sine", options);
  ASSERT_TRUE(error);
  EXPECT_EQ(&error.category(), &PulseCategory());
  EXPECT_EQ(capture.state(), PulseCapture::State::Idle);
}

// A socket that takes connections but never answers: the start gives up
// after its time-out instead of waiting for ever.
TEST(PulseCapture, AServerThatNeverAnswersTimesOut) {
  TempDir dir;
  const std::string path = (dir / "native").string();
  const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 4), 0);

  PulseCapture capture;
  PulseCapture::Options options;
  options.server = "unix:" + path;
  options.timeout = 500ms;
  const std::error_code error = capture.Start("sine", options);
  ::close(listener);
  EXPECT_EQ(error, std::error_code(pulse_errc::kTimeout, PulseCategory())) << error.message();
}

TEST(PulseCapture, AnUnknownSourceIsNoEntity) {
  PulseCapture capture;
  EXPECT_EQ(capture.Start("kinovo-no-such-source"), std::error_code(pulse_errc::kNoEntity, PulseCategory()));
}

// The microphone is unplugged while recording: the recording ends and says
// so, rather than going on from another source.
TEST(PulseCapture, ASourceThatGoesAwayEndsTheRecording) {
  std::optional<PulseModule> microphone(std::in_place,
                                        "module-sine-source source_name=kinovo_test_mic rate=44100 frequency=1000");
  ASSERT_TRUE(microphone->loaded()) << microphone->error();

  PulseCapture capture;
  std::atomic<int> endings{0};
  std::atomic<std::uint64_t> frames{0};
  const auto data = capture.Connect([&](const AudioChunkPtr& c) { frames += c->frames(); });
  const auto ended = capture.ConnectEnded([&](const std::error_code&) { ++endings; });
  const std::int64_t startUs = MonotonicNowUs();
  const std::error_code started = capture.Start("kinovo_test_mic");
  ASSERT_FALSE(started) << started.message();
  EXPECT_EQ(capture.rate(), 44100);
  for (int i = 0; i < 500 && frames < 4410; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_GE(frames.load(), 4410u);

  microphone.reset();
  for (int i = 0; i < 500 && capture.state() != PulseCapture::State::Ended; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(capture.state(), PulseCapture::State::Ended);
  EXPECT_TRUE(capture.endError());
  EXPECT_EQ(endings.load(), 1);
  // When the sound ended: after what was delivered began, not after now.
  EXPECT_GT(capture.endedAtUs(), startUs);
  EXPECT_LE(capture.endedAtUs(), MonotonicNowUs());
  capture.Stop();
}

}  // namespace
}  // namespace kinovo::streamtest
