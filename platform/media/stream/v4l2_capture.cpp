#include "platform/media/stream/v4l2_capture.h"

#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/media/stream/media_log.h"

namespace kinovo::media::stream {
namespace {

using linux_backend::UniqueFd;

int Xioctl(int fd, unsigned long request, void* arg) {
  int result;
  do {
    result = ::ioctl(fd, request, arg);
  } while (result < 0 && errno == EINTR);
  return result < 0 ? errno : 0;
}

std::error_code Errno(int error) { return {error, std::generic_category()}; }

// The path a descriptor was opened on, for messages.
std::string PathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "fd " + std::to_string(fd);
}

// A failed VIDIOC_DQBUF or VIDIOC_QBUF that is not the device going away
// (EIO, EPROTO on a USB hiccup) is retried; the stream ends only when the
// failures go on this long without a frame.
constexpr std::int64_t kPersistentFailureUs = 2'000'000;
// Between retries: a queue in error would wake poll() again at once.
constexpr int kRetryPauseMs = 10;

// How long the capture thread waits for a frame before it counts a stall:
// a few frame periods, and never less than a tenth of a second.
int StallTimeoutMs(const Fraction& interval) {
  const std::int64_t periodMs = interval.den > 0 ? std::int64_t{1000} * interval.num / interval.den : 33;
  return static_cast<int>(std::clamp<std::int64_t>(4 * periodMs, 100, 2000));
}

// One driver buffer mapped into our address space.
class Mapping {
 public:
  Mapping() = default;
  Mapping(void* address, std::size_t length) : address_(address), length_(length) {}
  ~Mapping() { Reset(); }
  Mapping(Mapping&& other) noexcept
      : address_(std::exchange(other.address_, MAP_FAILED)), length_(std::exchange(other.length_, 0)) {}
  Mapping& operator=(Mapping&& other) noexcept {
    if (this != &other) {
      Reset();
      address_ = std::exchange(other.address_, MAP_FAILED);
      length_ = std::exchange(other.length_, 0);
    }
    return *this;
  }
  Mapping(const Mapping&) = delete;
  Mapping& operator=(const Mapping&) = delete;

  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(address_); }
  std::size_t length() const { return length_; }
  void Reset() {
    if (address_ != MAP_FAILED) ::munmap(address_, length_);
    address_ = MAP_FAILED;
    length_ = 0;
  }

 private:
  void* address_ = MAP_FAILED;
  std::size_t length_ = 0;
};

std::int64_t TimevalUs(const timeval& tv) {
  return static_cast<std::int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

}  // namespace

struct V4l2Capture::Impl {
  UniqueFd fd;
  UniqueFd wake;  // eventfd that tells the capture thread to end
  StreamFormat format;
  std::uint32_t sizeImage = 0;
  std::vector<Mapping> buffers;
  std::shared_ptr<FramePool> pool;
  std::thread thread;

  std::shared_ptr<SinkList<VideoFramePtr>> frameSinks = SinkList<VideoFramePtr>::Create();
  std::shared_ptr<SinkList<std::error_code>> endSinks = SinkList<std::error_code>::Create();

  std::atomic<State> state{State::Closed};
  std::atomic<std::uint64_t> delivered{0};
  std::atomic<std::uint64_t> missed{0};
  std::atomic<std::uint64_t> corrupt{0};
  std::atomic<std::uint64_t> stalls{0};
  std::atomic<std::uint64_t> transientErrors{0};
  std::string path;  // for messages
  std::string failedCall;  // of Open or Start; the controlling thread's

  mutable std::mutex endMutex;
  mutable std::condition_variable endChanged;
  bool ended = false;  // guarded by endMutex
  std::error_code endError;

  std::error_code Setup(const std::optional<StreamFormat>& request, int bufferCount);
  // Logs a failed call on the device; its error.
  std::error_code Failure(const char* call, int error) const;
  // The same for a call of Open or Start, which failedCall() then names.
  std::error_code Refused(const char* call, int error);
  void FreeBuffers();
  void Run();
  // Dequeues every finished buffer. Empty while streaming goes on; the
  // error that ends it otherwise.
  std::error_code DrainFrames(bool& gotFrame);
  // Copies the frame out, requeues the buffer and hands the frame on; the
  // requeue's error, if any (the buffer then waits in `unqueued`).
  int Deliver(const v4l2_buffer& buf);
  // Queues again the buffers whose VIDIOC_QBUF failed; the first error.
  int RequeueHeld();
  // ENODEV when the device is gone, else `error`.
  std::error_code GoneOr(int error);
  void End(State how, std::error_code error);

  bool haveSequence = false;
  std::uint32_t lastSequence = 0;
  std::vector<std::uint32_t> unqueued;  // capture thread only
};

V4l2Capture::V4l2Capture() : impl_(std::make_unique<Impl>()) {}

V4l2Capture::~V4l2Capture() { Close(); }

std::error_code V4l2Capture::Open(const std::string& node, const StreamFormat& request,
                                  int bufferCount) {
  UniqueFd fd(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    const int err = errno;
    qCWarning(lcMedia) << "camera" << node.c_str() << ": open failed:" << std::strerror(err);
    impl_->failedCall = "open";
    return Errno(err);
  }
  if (impl_->state == State::Closed) impl_->path = node;
  return Open(std::move(fd), request, bufferCount);
}

std::error_code V4l2Capture::Open(UniqueFd fd, const std::optional<StreamFormat>& request,
                                  int bufferCount) {
  impl_->failedCall.clear();
  if (impl_->state != State::Closed) return std::make_error_code(std::errc::device_or_resource_busy);
  if (!fd) return std::make_error_code(std::errc::bad_file_descriptor);
  impl_->fd = std::move(fd);
  if (impl_->path.empty()) impl_->path = PathOf(impl_->fd.get());
  const std::error_code error = impl_->Setup(request, bufferCount);
  if (error) {
    impl_->FreeBuffers();
    impl_->fd.Reset();
    impl_->path.clear();
    return error;
  }
  impl_->state = State::Ready;
  return {};
}

std::error_code V4l2Capture::Impl::Setup(const std::optional<StreamFormat>& request,
                                         int bufferCount) {
  const int dev = fd.get();
  v4l2_capability cap{};
  if (const int err = Xioctl(dev, VIDIOC_QUERYCAP, &cap)) return Refused("VIDIOC_QUERYCAP", err);
  const std::uint32_t caps =
      (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
  if (!(caps & V4L2_CAP_VIDEO_CAPTURE) || !(caps & V4L2_CAP_STREAMING)) {
    return std::make_error_code(std::errc::operation_not_supported);
  }
  // The capture loop polls; a descriptor opened elsewhere may block.
  const int flags = ::fcntl(dev, F_GETFL);
  if (flags < 0 || ::fcntl(dev, F_SETFL, flags | O_NONBLOCK) < 0) return Refused("fcntl", errno);

  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (request) {
    fmt.fmt.pix.pixelformat = request->pixelFormat;
    fmt.fmt.pix.width = static_cast<std::uint32_t>(request->width);
    fmt.fmt.pix.height = static_cast<std::uint32_t>(request->height);
    fmt.fmt.pix.field = V4L2_FIELD_ANY;
    if (const int err = Xioctl(dev, VIDIOC_S_FMT, &fmt)) return Refused("VIDIOC_S_FMT", err);
    // Drivers fall back to another format instead of failing; a file
    // labelled with the requested codec would then be unreadable.
    if (fmt.fmt.pix.pixelformat != request->pixelFormat) {
      return std::make_error_code(std::errc::invalid_argument);
    }
  } else if (const int err = Xioctl(dev, VIDIOC_G_FMT, &fmt)) {
    return Refused("VIDIOC_G_FMT", err);
  }
  format.pixelFormat = fmt.fmt.pix.pixelformat;
  format.width = static_cast<std::int32_t>(fmt.fmt.pix.width);
  format.height = static_cast<std::int32_t>(fmt.fmt.pix.height);
  format.bytesPerLine = IsCompressed(format.pixelFormat) ? 0
                                                         : static_cast<std::int32_t>(fmt.fmt.pix.bytesperline);
  sizeImage = fmt.fmt.pix.sizeimage;

  v4l2_streamparm parm{};
  parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  const bool settable = Xioctl(dev, VIDIOC_G_PARM, &parm) == 0 &&
                        (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME);
  if (settable && request && request->interval.num > 0 && request->interval.den > 0) {
    parm.parm.capture.timeperframe = {request->interval.num, request->interval.den};
    if (const int err = Xioctl(dev, VIDIOC_S_PARM, &parm)) return Refused("VIDIOC_S_PARM", err);
  }
  const v4l2_fract applied = parm.parm.capture.timeperframe;
  if (applied.numerator > 0 && applied.denominator > 0) {
    format.interval = {applied.numerator, applied.denominator};
  } else if (request && request->interval.num > 0 && request->interval.den > 0) {
    format.interval = request->interval;
  } else {
    format.interval = {1, 30};  // what a driver that names no rate most likely delivers
  }

  v4l2_requestbuffers req{};
  req.count = static_cast<std::uint32_t>(bufferCount > 0 ? bufferCount : kDefaultBufferCount);
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (const int err = Xioctl(dev, VIDIOC_REQBUFS, &req)) return Refused("VIDIOC_REQBUFS", err);
  if (req.count == 0) return std::make_error_code(std::errc::not_enough_memory);
  buffers.reserve(req.count);
  for (std::uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    if (const int err = Xioctl(dev, VIDIOC_QUERYBUF, &buf)) return Refused("VIDIOC_QUERYBUF", err);
    void* address = ::mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, dev, buf.m.offset);
    if (address == MAP_FAILED) return Refused("mmap", errno);
    buffers.emplace_back(address, buf.length);
  }
  // Frames queued at the consumers come back here; a few spare ones cover
  // the frames in flight between capture and the preview.
  pool = FramePool::Create(buffers.size() + 4);
  return {};
}

std::error_code V4l2Capture::Impl::Failure(const char* call, int error) const {
  qCWarning(lcMedia) << "camera" << path.c_str() << ":" << call << "failed:" << std::strerror(error);
  return Errno(error);
}

std::error_code V4l2Capture::Impl::Refused(const char* call, int error) {
  failedCall = call;
  return Failure(call, error);
}

void V4l2Capture::Impl::FreeBuffers() {
  const bool hadBuffers = !buffers.empty();
  buffers.clear();  // unmapped before the driver is asked to free them
  if (hadBuffers && fd) {
    v4l2_requestbuffers req{};
    req.count = 0;
    req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    req.memory = V4L2_MEMORY_MMAP;
    Xioctl(fd.get(), VIDIOC_REQBUFS, &req);  // fails harmlessly on a vanished device
  }
}

std::error_code V4l2Capture::Start() {
  Impl& d = *impl_;
  d.failedCall.clear();
  if (d.state == State::Streaming) return {};
  if (d.state != State::Ready) return std::make_error_code(std::errc::bad_file_descriptor);
  for (std::uint32_t i = 0; i < d.buffers.size(); ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    if (const int err = Xioctl(d.fd.get(), VIDIOC_QBUF, &buf)) return d.Refused("VIDIOC_QBUF", err);
  }
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (const int err = Xioctl(d.fd.get(), VIDIOC_STREAMON, &type)) {
    Xioctl(d.fd.get(), VIDIOC_STREAMOFF, &type);  // takes the queued buffers back
    return d.Refused("VIDIOC_STREAMON", err);
  }
  d.wake = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!d.wake) {
    const int err = errno;
    Xioctl(d.fd.get(), VIDIOC_STREAMOFF, &type);
    return d.Refused("eventfd", err);
  }
  {
    std::lock_guard lock(d.endMutex);
    d.ended = false;
    d.endError = {};
  }
  d.haveSequence = false;
  d.state = State::Streaming;
  d.thread = std::thread([&d] { d.Run(); });
  return {};
}

void V4l2Capture::Stop() {
  Impl& d = *impl_;
  if (!d.thread.joinable()) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto written = ::write(d.wake.get(), &one, sizeof one);
  d.thread.join();
  d.wake.Reset();
  int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  Xioctl(d.fd.get(), VIDIOC_STREAMOFF, &type);
  if (d.state == State::Streaming) d.state = State::Ready;
}

void V4l2Capture::Close() {
  Stop();
  impl_->FreeBuffers();
  impl_->fd.Reset();
  impl_->pool.reset();
  impl_->path.clear();
  impl_->state = State::Closed;
}

const std::string& V4l2Capture::failedCall() const { return impl_->failedCall; }

StreamFormat V4l2Capture::format() const { return impl_->format; }

Connection V4l2Capture::Connect(std::function<void(const VideoFramePtr&)> onFrame) {
  return impl_->frameSinks->Add(std::move(onFrame));
}

Connection V4l2Capture::ConnectEnded(std::function<void(const std::error_code&)> onEnded) {
  return impl_->endSinks->Add(std::move(onEnded));
}

V4l2Capture::State V4l2Capture::state() const { return impl_->state; }

std::error_code V4l2Capture::endError() const {
  std::lock_guard lock(impl_->endMutex);
  return impl_->endError;
}

bool V4l2Capture::WaitUntilEnded(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->endMutex);
  return impl_->endChanged.wait_for(lock, timeout, [this] { return impl_->ended; });
}

V4l2Capture::Stats V4l2Capture::stats() const {
  return {impl_->delivered.load(), impl_->missed.load(), impl_->corrupt.load(),
          impl_->stalls.load(), impl_->transientErrors.load()};
}

void V4l2Capture::Impl::Run() {
  // A camera that stops sending without an error (a USB hiccup) must not go
  // unnoticed: each silence longer than a few frame periods counts once.
  const int timeoutMs = StallTimeoutMs(format.interval);
  bool stalled = false;
  std::int64_t lastFrameUs = MonotonicNowUs();
  std::int64_t failingSinceUs = 0;  // first of the failed dequeues since the last frame
  for (;;) {
    pollfd fds[2] = {{fd.get(), POLLIN, 0}, {wake.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      End(State::Failed, Failure("poll", err));
      return;
    }
    if (fds[1].revents) return;  // Stop()
    const short revents = fds[0].revents;
    if (!revents) {
      if (!stalled) {
        stalled = true;
        ++stalls;
        qCWarning(lcMedia) << "camera" << path.c_str() << ": no frame for"
                           << (MonotonicNowUs() - lastFrameUs) / 1000 << "ms";
      }
      if (unqueued.empty()) continue;  // else retry their VIDIOC_QBUF below
    }
    bool gotFrame = false;
    const std::error_code error = DrainFrames(gotFrame);
    if (gotFrame) {
      if (stalled) {
        qCWarning(lcMedia) << "camera" << path.c_str() << ": frames again after"
                           << (MonotonicNowUs() - lastFrameUs) / 1000 << "ms";
      }
      stalled = false;
      failingSinceUs = 0;
      lastFrameUs = MonotonicNowUs();
    }
    if (error) {
      if (error == std::errc::no_such_device) {
        qCWarning(lcMedia) << "camera" << path.c_str()
                           << ": VIDIOC_DQBUF/VIDIOC_QBUF failed:" << error.message().c_str();
        End(State::DeviceLost, error);
        return;
      }
      const std::uint64_t failures = ++transientErrors;
      const std::int64_t now = MonotonicNowUs();
      if (!failingSinceUs) {
        failingSinceUs = now;
        // A camera that hiccups often would flood the log: the first few and
        // then every hundredth.
        if (failures <= 5 || failures % 100 == 0) {
          qCWarning(lcMedia) << "camera" << path.c_str()
                             << ": VIDIOC_DQBUF/VIDIOC_QBUF failed:" << error.message().c_str()
                             << "; retrying (" << failures << "so far)";
        }
      } else if (now - failingSinceUs >= kPersistentFailureUs &&
                 now - lastFrameUs >= kPersistentFailureUs) {
        qCWarning(lcMedia) << "camera" << path.c_str() << ": VIDIOC_DQBUF/VIDIOC_QBUF failing for"
                           << (now - failingSinceUs) / 1000 << "ms:" << error.message().c_str();
        End(State::Failed, error);
        return;
      }
      pollfd stop{wake.get(), POLLIN, 0};
      if (::poll(&stop, 1, kRetryPauseMs) > 0) return;  // Stop()
      continue;
    }
    if (!gotFrame && (revents & (POLLERR | POLLHUP | POLLNVAL))) {
      // An error condition without a frame to take would wake us again at
      // once: the stream is over. Tell a vanished device from other faults.
      v4l2_capability cap{};
      const int err = Xioctl(fd.get(), VIDIOC_QUERYCAP, &cap);
      if (err == ENODEV || (revents & POLLHUP)) {
        qCWarning(lcMedia) << "camera" << path.c_str() << ": the device went away";
        End(State::DeviceLost, Errno(ENODEV));
      } else {
        End(State::Failed, Failure("poll", err ? err : EIO));
      }
      return;
    }
  }
}

std::error_code V4l2Capture::Impl::GoneOr(int error) {
  if (error == ENODEV) return Errno(ENODEV);
  // uvcvideo fails a disconnected device's queue with EIO.
  v4l2_capability cap{};
  return Errno(Xioctl(fd.get(), VIDIOC_QUERYCAP, &cap) == ENODEV ? ENODEV : error);
}

int V4l2Capture::Impl::RequeueHeld() {
  while (!unqueued.empty()) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = unqueued.back();
    if (const int err = Xioctl(fd.get(), VIDIOC_QBUF, &buf)) return err;
    unqueued.pop_back();
  }
  return 0;
}

std::error_code V4l2Capture::Impl::DrainFrames(bool& gotFrame) {
  if (const int err = RequeueHeld()) return GoneOr(err);
  for (;;) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    const int err = Xioctl(fd.get(), VIDIOC_DQBUF, &buf);
    if (err == EAGAIN) return {};
    if (err) return GoneOr(err);
    if (buf.index >= buffers.size()) return Errno(EINVAL);
    gotFrame = true;
    if (const int requeue = Deliver(buf)) {
      unqueued.push_back(buf.index);
      return GoneOr(requeue);
    }
  }
}

int V4l2Capture::Impl::Deliver(const v4l2_buffer& dequeued) {
  const std::uint32_t sequence = dequeued.sequence;
  if (haveSequence) {
    const std::uint32_t step = sequence - lastSequence;  // wraps like the driver's counter
    // A step backwards or a huge one is a restarted counter, not a gap.
    if (step > 1 && step < (1u << 30)) missed += step - 1;
  }
  haveSequence = true;
  lastSequence = sequence;

  const Mapping& mapping = buffers[dequeued.index];
  const std::size_t used = std::min<std::size_t>(dequeued.bytesused, mapping.length());
  const bool damaged = (dequeued.flags & V4L2_BUF_FLAG_ERROR) || used == 0 ||
                       (!IsCompressed(format.pixelFormat) && used < sizeImage);

  std::shared_ptr<VideoFrame> frame;
  if (!damaged) {
    frame = pool->Acquire(used);
    std::memcpy(frame->bytes().data(), mapping.data(), used);
    frame->format = format;
    frame->sequence = sequence;
    if ((dequeued.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC) {
      frame->timestampUs = TimevalUs(dequeued.timestamp);
    } else {
      frame->timestampUs = MonotonicNowUs();  // the driver's clock is unknown
    }
  }

  // The buffer goes back before anyone sees the frame.
  v4l2_buffer buf{};
  buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buf.memory = V4L2_MEMORY_MMAP;
  buf.index = dequeued.index;
  const int requeue = Xioctl(fd.get(), VIDIOC_QBUF, &buf);

  if (!frame) {
    ++corrupt;
  } else {
    ++delivered;
    frameSinks->Deliver(frame);
  }
  return requeue;
}

void V4l2Capture::Impl::End(State how, std::error_code error) {
  state = how;
  endSinks->Deliver(error);
  {
    std::lock_guard lock(endMutex);
    ended = true;
    endError = error;
  }
  endChanged.notify_all();
}

}  // namespace kinovo::media::stream
