#include "platform/media/stream/pulse_capture.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/rtclock.h>
#include <pulse/stream.h>
#include <pulse/thread-mainloop.h>
#include <pulse/timeval.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <cstring>
#include <mutex>
#include <optional>

#include "platform/media/stream/media_log.h"

namespace kinovo::media::stream {

static_assert(pulse_errc::kNoEntity == PA_ERR_NOENTITY && pulse_errc::kConnectionRefused == PA_ERR_CONNECTIONREFUSED &&
              pulse_errc::kTimeout == PA_ERR_TIMEOUT && pulse_errc::kConnectionTerminated == PA_ERR_CONNECTIONTERMINATED &&
              pulse_errc::kKilled == PA_ERR_KILLED);

namespace {

constexpr std::int64_t kMaxWaitForTimingUs = 500000;
// A source that gives nothing for this long has stopped, though the server
// did not say so (a hung driver, a suspended device).
constexpr std::int64_t kStallUs = 3000000;
constexpr pa_usec_t kStallCheckUs = 500000;

class PulseErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "pulseaudio"; }
  std::string message(int code) const override {
    const char* text = pa_strerror(code);
    return text ? text : "unknown PulseAudio error";
  }
};

std::error_code PulseError(int code) {
  return {code != PA_OK ? code : PA_ERR_UNKNOWN, PulseCategory()};
}

}  // namespace

const std::error_category& PulseCategory() {
  static const PulseErrorCategory category;
  return category;
}

// The client objects of one recording. Callbacks reach the owning Impl
// through `owner`, only while the session is set up and running.
struct PulseCapture::Impl {
  // Connection state, touched under the threaded main loop's lock.
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  pa_time_event* deadline = nullptr;
  pa_time_event* watchdog = nullptr;
  std::string source;
  std::int64_t lastSoundUs = 0;  // when sound last came
  bool timedOut = false;
  bool running = false;  // past Start(): failures now end the recording
  std::optional<pa_sample_spec> sourceSpec;
  pa_channel_map sourceMap{};
  bool lookupDone = false;
  bool pendingDiscontinuity = false;
  std::uint64_t nextFrame = 0;

  std::atomic<std::int32_t> sampleRate{0};
  std::atomic<std::int32_t> channelCount{0};

  std::shared_ptr<SinkList<AudioChunkPtr>> chunkSinks = SinkList<AudioChunkPtr>::Create();
  std::shared_ptr<SinkList<std::error_code>> endSinks = SinkList<std::error_code>::Create();

  std::atomic<State> state{State::Idle};
  std::atomic<std::int64_t> endedAtUs{0};
  mutable std::mutex endMutex;
  std::error_code endError;
  // The capture time up to which sound has been handed on.
  std::mutex deliveredMutex;
  std::condition_variable deliveredChanged;
  std::int64_t deliveredUntilUs = std::numeric_limits<std::int64_t>::min();
  std::int64_t chunkUs = 20000;

  std::atomic<std::uint64_t> framesDelivered{0};
  std::atomic<std::uint64_t> chunks{0};
  std::atomic<std::uint64_t> overflows{0};

  std::error_code Setup(const std::string& sourceName, const PulseCapture::Options& options);
  // Waits on the loop until `done` holds, the deadline passes or the
  // context fails; the error that stopped the wait, if any.
  template <typename Done>
  std::error_code WaitFor(Done done);
  void Teardown();
  void OnReadable(std::size_t);
  // `call`: what noticed the end, for the log.
  void EndRecording(std::error_code error, const char* call);

  static void ContextState(pa_context*, void* self) {
    auto* d = static_cast<Impl*>(self);
    const pa_context_state_t s = pa_context_get_state(d->context);
    if (d->running && !PA_CONTEXT_IS_GOOD(s)) {
      d->EndRecording(PulseError(pa_context_errno(d->context)), "pa_context_get_state");
    }
    pa_threaded_mainloop_signal(d->loop, 0);
  }
  static void StreamState(pa_stream* s, void* self) {
    auto* d = static_cast<Impl*>(self);
    if (d->running && !PA_STREAM_IS_GOOD(pa_stream_get_state(s))) {
      d->EndRecording(PulseError(pa_context_errno(d->context)), "pa_stream_get_state");
    }
    pa_threaded_mainloop_signal(d->loop, 0);
  }
  static void SourceInfo(pa_context*, const pa_source_info* info, int eol, void* self) {
    auto* d = static_cast<Impl*>(self);
    if (info && eol == 0) {
      d->sourceSpec = info->sample_spec;
      d->sourceMap = info->channel_map;
    }
    if (eol != 0) d->lookupDone = true;
    pa_threaded_mainloop_signal(d->loop, 0);
  }
  static void Deadline(pa_mainloop_api*, pa_time_event*, const timeval*, void* self) {
    auto* d = static_cast<Impl*>(self);
    d->timedOut = true;
    pa_threaded_mainloop_signal(d->loop, 0);
  }
  static void Watchdog(pa_mainloop_api*, pa_time_event* event, const timeval*, void* self) {
    auto* d = static_cast<Impl*>(self);
    if (!d->running) return;
    if (MonotonicNowUs() - d->lastSoundUs > kStallUs) {
      d->EndRecording(PulseError(PA_ERR_TIMEOUT), "pa_stream read (no sound for 3 s)");
      return;
    }
    pa_context_rttime_restart(d->context, event, pa_rtclock_now() + kStallCheckUs);
  }
  static void Readable(pa_stream*, std::size_t bytes, void* self) {
    static_cast<Impl*>(self)->OnReadable(bytes);
  }
  static void LatencyUpdate(pa_stream*, void* self) {
    // Sound held back for want of timing information can go now.
    static_cast<Impl*>(self)->OnReadable(0);
  }
  static void Overflow(pa_stream*, void* self) {
    auto* d = static_cast<Impl*>(self);
    d->pendingDiscontinuity = true;
    ++d->overflows;
  }
};

PulseCapture::PulseCapture() : impl_(std::make_unique<Impl>()) {}

PulseCapture::~PulseCapture() { Stop(); }

std::error_code PulseCapture::Start(const std::string& sourceName, const Options& options) {
  Stop();
  const std::error_code error = impl_->Setup(sourceName, options);
  if (error) {
    impl_->Teardown();
    return error;
  }
  return {};
}

template <typename Done>
std::error_code PulseCapture::Impl::WaitFor(Done done) {
  for (;;) {
    if (done()) return {};
    if (timedOut) return PulseError(PA_ERR_TIMEOUT);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
      return PulseError(pa_context_errno(context));
    }
    if (stream && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
      return PulseError(pa_context_errno(context));
    }
    pa_threaded_mainloop_wait(loop);
  }
}

std::error_code PulseCapture::Impl::Setup(const std::string& sourceName,
                                          const PulseCapture::Options& options) {
  loop = pa_threaded_mainloop_new();
  if (!loop) return PulseError(PA_ERR_INTERNAL);
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
  context = pa_context_new(api, "Kinovo");
  if (!context) return PulseError(PA_ERR_INTERNAL);
  pa_context_set_state_callback(context, &Impl::ContextState, this);
  // Never spawn a server: no server means no microphone.
  if (pa_context_connect(context, options.server.empty() ? nullptr : options.server.c_str(),
                         PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    return PulseError(pa_context_errno(context));
  }
  if (pa_threaded_mainloop_start(loop) < 0) return PulseError(PA_ERR_INTERNAL);

  pa_threaded_mainloop_lock(loop);
  struct Unlock {
    pa_threaded_mainloop* loop;
    ~Unlock() { pa_threaded_mainloop_unlock(loop); }
  } unlock{loop};

  deadline = pa_context_rttime_new(
      context, pa_rtclock_now() + static_cast<pa_usec_t>(options.timeout.count()) * PA_USEC_PER_MSEC,
      &Impl::Deadline, this);

  if (auto e = WaitFor([&] { return pa_context_get_state(context) == PA_CONTEXT_READY; })) return e;

  pa_operation* op = pa_context_get_source_info_by_name(context, sourceName.c_str(),
                                                        &Impl::SourceInfo, this);
  if (!op) return PulseError(pa_context_errno(context));
  const std::error_code lookup = WaitFor([&] { return lookupDone; });
  if (pa_operation_get_state(op) == PA_OPERATION_RUNNING) pa_operation_cancel(op);
  pa_operation_unref(op);
  if (lookup) return lookup;
  if (!sourceSpec) return PulseError(PA_ERR_NOENTITY);

  pa_sample_spec recordSpec{};
  recordSpec.format = PA_SAMPLE_S16LE;
  recordSpec.rate = sourceSpec->rate;
  recordSpec.channels = sourceSpec->channels;
  const pa_channel_map* map =
      pa_channel_map_valid(&sourceMap) && sourceMap.channels == recordSpec.channels ? &sourceMap : nullptr;
  stream = pa_stream_new(context, "Recording", &recordSpec, map);
  if (!stream) return PulseError(pa_context_errno(context));
  pa_stream_set_state_callback(stream, &Impl::StreamState, this);
  pa_stream_set_read_callback(stream, &Impl::Readable, this);
  pa_stream_set_overflow_callback(stream, &Impl::Overflow, this);
  pa_stream_set_latency_update_callback(stream, &Impl::LatencyUpdate, this);

  pa_buffer_attr attr{};
  attr.maxlength = static_cast<std::uint32_t>(-1);
  attr.tlength = attr.prebuf = attr.minreq = static_cast<std::uint32_t>(-1);
  attr.fragsize = static_cast<std::uint32_t>(
      pa_usec_to_bytes(static_cast<pa_usec_t>(options.chunk.count()) * PA_USEC_PER_MSEC, &recordSpec));
  // Not movable: when the chosen microphone goes away the recording ends
  // instead of going on from whatever source the server picks.
  const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_AUTO_TIMING_UPDATE |
                                                    PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, sourceName.c_str(), &attr, flags) < 0) {
    return PulseError(pa_context_errno(context));
  }
  if (auto e = WaitFor([&] { return pa_stream_get_state(stream) == PA_STREAM_READY; })) return e;

  api->time_free(deadline);
  deadline = nullptr;
  sampleRate = static_cast<std::int32_t>(recordSpec.rate);
  channelCount = recordSpec.channels;
  nextFrame = 0;
  pendingDiscontinuity = false;
  {
    std::lock_guard lock(endMutex);
    endError = {};
  }
  {
    std::lock_guard lock(deliveredMutex);
    deliveredUntilUs = std::numeric_limits<std::int64_t>::min();
    chunkUs = std::chrono::microseconds(options.chunk).count();
  }
  source = sourceName;
  lastSoundUs = MonotonicNowUs();
  endedAtUs = 0;
  watchdog =
      pa_context_rttime_new(context, pa_rtclock_now() + kStallCheckUs, &Impl::Watchdog, this);
  state = State::Recording;
  running = true;
  return {};
}

void PulseCapture::Stop() {
  impl_->Teardown();
  if (impl_->state == State::Recording) impl_->state = State::Idle;
}

void PulseCapture::Impl::Teardown() {
  if (!loop) return;
  pa_threaded_mainloop_lock(loop);
  running = false;
  if (deadline) {
    pa_threaded_mainloop_get_api(loop)->time_free(deadline);
    deadline = nullptr;
  }
  if (watchdog) {
    pa_threaded_mainloop_get_api(loop)->time_free(watchdog);
    watchdog = nullptr;
  }
  if (stream) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_overflow_callback(stream, nullptr, nullptr);
    pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
  }
  if (context) {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
    context = nullptr;
  }
  pa_threaded_mainloop_unlock(loop);
  pa_threaded_mainloop_stop(loop);
  pa_threaded_mainloop_free(loop);
  loop = nullptr;
  sourceSpec.reset();
  lookupDone = false;
  timedOut = false;
}

void PulseCapture::Impl::OnReadable(std::size_t) {
  if (!running) return;
  const std::size_t frameBytes = sizeof(std::int16_t) * static_cast<std::size_t>(channelCount);
  for (;;) {
    const std::size_t readable = pa_stream_readable_size(stream);
    if (readable == 0 || readable == static_cast<std::size_t>(-1)) return;
    // The latency is that of the next byte to read, the chunk's first one.
    // Whatever it says, that byte is at least as old as all the sound
    // still waiting to be read (sources that render ahead report poorly).
    const auto waitingUs =
        static_cast<std::int64_t>(readable / frameBytes) * 1000000 / sampleRate;
    pa_usec_t latency = 0;
    int negative = 0;
    const bool timed = pa_stream_get_latency(stream, &latency, &negative) == 0;
    // Until the first timing update (it follows the start at once) the
    // sound waits, unless it piles up.
    if (!timed && waitingUs < kMaxWaitForTimingUs) return;
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0) {
      EndRecording(PulseError(pa_context_errno(context)), "pa_stream_peek");
      return;
    }
    if (bytes == 0) return;  // nothing buffered after all

    const std::int64_t now = MonotonicNowUs();
    const std::size_t frames = bytes / frameBytes;
    std::int64_t firstSampleUs;
    if (!timed) {
      firstSampleUs = now - waitingUs;
    } else if (negative) {
      firstSampleUs = now + static_cast<std::int64_t>(latency);  // a monitor: not played yet
    } else {
      firstSampleUs = now - std::max(static_cast<std::int64_t>(latency), waitingUs);
    }
    // Whatever the estimate, the chunk was whole by the time it was read.
    firstSampleUs = std::min(firstSampleUs, now - static_cast<std::int64_t>(frames) * 1000000 / sampleRate);

    auto chunk = std::make_shared<AudioChunk>();
    chunk->timestampUs = firstSampleUs;
    chunk->firstFrame = nextFrame;
    chunk->rate = sampleRate;
    chunk->channels = channelCount;
    chunk->discontinuity = std::exchange(pendingDiscontinuity, false);
    chunk->samples.resize(frames * static_cast<std::size_t>(channelCount));
    if (data) {
      std::memcpy(chunk->samples.data(), data, frames * frameBytes);
    }  // else a hole in the stream: silence in its place keeps the count
    pa_stream_drop(stream);

    nextFrame += frames;
    framesDelivered += frames;
    if (frames > 0) lastSoundUs = now;
    ++chunks;
    if (frames > 0) {
      chunkSinks->Deliver(chunk);
      {
        std::lock_guard lock(deliveredMutex);
        deliveredUntilUs = std::max(deliveredUntilUs,
                                    firstSampleUs + static_cast<std::int64_t>(frames) * 1000000 / sampleRate);
      }
      deliveredChanged.notify_all();
    }
  }
}

bool PulseCapture::WaitDelivered(std::int64_t untilUs, std::chrono::milliseconds timeout) {
  Impl& d = *impl_;
  std::unique_lock lock(d.deliveredMutex);
  const auto delivered = [&] { return d.deliveredUntilUs >= untilUs + d.chunkUs; };
  d.deliveredChanged.wait_for(lock, timeout, [&] { return delivered() || d.state != State::Recording; });
  return delivered();
}

void PulseCapture::Impl::EndRecording(std::error_code error, const char* call) {
  if (!running) return;
  running = false;
  {
    std::lock_guard lock(deliveredMutex);
    const bool any = deliveredUntilUs != std::numeric_limits<std::int64_t>::min();
    endedAtUs = any ? deliveredUntilUs : MonotonicNowUs();
  }
  qCWarning(lcMedia).nospace() << "microphone " << source.c_str() << " : " << call
                               << " failed: " << error.message().c_str()
                               << "; the recording goes on with silence";
  {
    std::lock_guard lock(endMutex);
    endError = error;
  }
  state = State::Ended;
  endSinks->Deliver(error);
  {
    // Wakes a waiting WaitDelivered; the lock orders the state change before its check.
    std::lock_guard lock(deliveredMutex);
  }
  deliveredChanged.notify_all();
}

std::int32_t PulseCapture::rate() const { return impl_->sampleRate; }
std::int32_t PulseCapture::channels() const { return impl_->channelCount; }

Connection PulseCapture::Connect(std::function<void(const AudioChunkPtr&)> onChunk) {
  return impl_->chunkSinks->Add(std::move(onChunk));
}

Connection PulseCapture::ConnectEnded(std::function<void(const std::error_code&)> onEnded) {
  return impl_->endSinks->Add(std::move(onEnded));
}

PulseCapture::State PulseCapture::state() const { return impl_->state; }

std::error_code PulseCapture::endError() const {
  std::lock_guard lock(impl_->endMutex);
  return impl_->endError;
}

std::int64_t PulseCapture::endedAtUs() const { return impl_->endedAtUs; }

PulseCapture::Stats PulseCapture::stats() const {
  return {impl_->framesDelivered.load(), impl_->chunks.load(), impl_->overflows.load()};
}

}  // namespace kinovo::media::stream
