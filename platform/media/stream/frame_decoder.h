#pragma once

// Turns a captured frame into a picture of a given size: Motion-JPEG through
// TurboJPEG (decoded straight at a reduced scale when the picture is to be
// shown smaller, which skips most of the work), YUV and RGB formats through
// libswscale, which also scales to the exact size.
//
// One decoder is used by one thread at a time.

#include <QImage>
#include <QSize>
#include <memory>

#include "platform/media/stream/frame.h"

namespace kinovo::media::stream {

struct JpegScale {
  int num = 1;
  int denom = 1;
  friend constexpr bool operator==(const JpegScale&, const JpegScale&) = default;
};

// The strongest reduction among 1/2, 1/4 and 1/8 (the factors with fast
// inverse transforms) that keeps the picture at least `target` large in both
// directions; 1/1 when none does or the target is empty.
JpegScale ChooseJpegScale(QSize picture, QSize target);

class FrameDecoder {
 public:
  FrameDecoder();
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // An RGB32 picture of `target` size (the frame's own size when `target`
  // is empty), or a null image when the frame cannot be decoded. The pixels
  // of `reuse` are written over when it has the right size and format and
  // shares them with no one.
  QImage Decode(const VideoFrame& frame, QSize target, QImage reuse = QImage());

  // The size the last Motion-JPEG frame was decoded at, before the final
  // scaling.
  QSize lastJpegSize() const { return lastJpegSize_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  QSize lastJpegSize_;
};

}  // namespace kinovo::media::stream
