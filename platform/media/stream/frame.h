#pragma once

// Media samples that travel from the capture threads to their consumers
// (file writer, video window): reference-counted and immutable once
// delivered, so one frame can be queued for the file and shown in the
// preview without a copy.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/media/stream/pixel_formats.h"

namespace kinovo::media::stream {

// A time span of num/den seconds (a V4L2 frame interval).
struct Fraction {
  std::uint32_t num = 1;
  std::uint32_t den = 30;
  friend constexpr bool operator==(const Fraction&, const Fraction&) = default;
};

// The picture format of a video stream.
struct StreamFormat {
  std::uint32_t pixelFormat = 0;  // V4L2 fourcc
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t bytesPerLine = 0;  // 0 for compressed formats
  Fraction interval;              // seconds per frame
  friend bool operator==(const StreamFormat&, const StreamFormat&) = default;
};

class FramePool;

// One captured picture. Its bytes live in storage that is recycled through
// the pool that made it, once the last reference goes away.
class VideoFrame {
 public:
  StreamFormat format;
  std::int64_t timestampUs = 0;  // CLOCK_MONOTONIC time of capture
  std::uint32_t sequence = 0;    // the driver's frame counter

  // A frame with room for `bytes` bytes, not from any pool.
  static std::shared_ptr<VideoFrame> Create(std::size_t bytes);

  std::span<std::uint8_t> bytes() { return {storage_.get(), size_}; }
  std::span<const std::uint8_t> bytes() const { return {storage_.get(), size_}; }
  std::size_t size() const { return size_; }
  // Shrinks or grows the used part within the capacity.
  void Resize(std::size_t bytes);
  std::size_t capacity() const { return capacity_; }

 private:
  friend class FramePool;
  std::unique_ptr<std::uint8_t[]> storage_;
  std::size_t capacity_ = 0;
  std::size_t size_ = 0;
};

using VideoFramePtr = std::shared_ptr<const VideoFrame>;

// Recycles frame storage: at 30 frames per second of several megabytes each,
// fresh allocations would fault in every page of every frame.
class FramePool : public std::enable_shared_from_this<FramePool> {
 public:
  static std::shared_ptr<FramePool> Create(std::size_t maxIdle);
  // A frame of exactly `bytes` bytes; contents undefined.
  std::shared_ptr<VideoFrame> Acquire(std::size_t bytes);
  std::size_t idle() const;

 private:
  explicit FramePool(std::size_t maxIdle) : maxIdle_(maxIdle) {}
  void Recycle(VideoFrame* frame);

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<VideoFrame>> idle_;
  std::size_t maxIdle_;
};

// A block of interleaved signed 16-bit little-endian samples.
struct AudioChunk {
  std::int64_t timestampUs = 0;  // CLOCK_MONOTONIC time of the first sample
  std::uint64_t firstFrame = 0;  // index of the first sample frame since the stream began
  std::int32_t rate = 0;
  std::int32_t channels = 0;
  // Samples were lost just before this chunk, so `firstFrame` does not
  // continue the previous chunk's count.
  bool discontinuity = false;
  std::vector<std::int16_t> samples;

  std::size_t frames() const { return channels > 0 ? samples.size() / channels : 0; }
};

using AudioChunkPtr = std::shared_ptr<const AudioChunk>;

// CLOCK_MONOTONIC now, in microseconds: the clock of every timestamp here.
std::int64_t MonotonicNowUs();

}  // namespace kinovo::media::stream
