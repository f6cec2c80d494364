#include "platform/media/stream/frame.h"

#include <time.h>

#include <cassert>

namespace kinovo::media::stream {

std::shared_ptr<VideoFrame> VideoFrame::Create(std::size_t bytes) {
  auto frame = std::make_shared<VideoFrame>();
  // Default-initialised: the caller fills every byte it uses.
  frame->storage_.reset(new std::uint8_t[bytes > 0 ? bytes : 1]);
  frame->capacity_ = bytes;
  frame->size_ = bytes;
  return frame;
}

void VideoFrame::Resize(std::size_t bytes) {
  assert(bytes <= capacity_);
  size_ = bytes <= capacity_ ? bytes : capacity_;
}

std::shared_ptr<FramePool> FramePool::Create(std::size_t maxIdle) {
  return std::shared_ptr<FramePool>(new FramePool(maxIdle));
}

std::shared_ptr<VideoFrame> FramePool::Acquire(std::size_t bytes) {
  std::unique_ptr<VideoFrame> frame;
  {
    std::lock_guard lock(mutex_);
    while (!idle_.empty()) {
      frame = std::move(idle_.back());
      idle_.pop_back();
      if (frame->capacity_ >= bytes) break;
      frame.reset();  // too small for this format: let it go
    }
  }
  if (!frame) {
    frame = std::make_unique<VideoFrame>();
    frame->storage_.reset(new std::uint8_t[bytes > 0 ? bytes : 1]);
    frame->capacity_ = bytes;
  }
  frame->size_ = bytes;
  frame->format = {};
  frame->timestampUs = 0;
  frame->sequence = 0;
  std::weak_ptr<FramePool> pool = weak_from_this();
  return std::shared_ptr<VideoFrame>(frame.release(), [pool](VideoFrame* f) {
    if (auto owner = pool.lock()) {
      owner->Recycle(f);
    } else {
      delete f;
    }
  });
}

void FramePool::Recycle(VideoFrame* frame) {
  std::unique_ptr<VideoFrame> owned(frame);
  std::lock_guard lock(mutex_);
  if (idle_.size() < maxIdle_) idle_.push_back(std::move(owned));
}

std::size_t FramePool::idle() const {
  std::lock_guard lock(mutex_);
  return idle_.size();
}

std::int64_t MonotonicNowUs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace kinovo::media::stream
