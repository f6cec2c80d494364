#pragma once

// Turns a captured frame into a picture of a given size: Motion-JPEG through
// TurboJPEG to planar YUV (decoded at a reduced scale when the picture is to
// be shown much smaller) and libyuv, which converts and scales it straight
// into the pixels it is drawn to; other YUV and RGB formats through
// libswscale.
//
// One decoder is used by one thread at a time.

#include <QImage>
#include <QRect>
#include <QRegion>
#include <QSize>
#include <memory>

#include "platform/media/stream/frame.h"

namespace kinovo::media::stream {

// A frame decoded as far as it can be without knowing where it is drawn:
// Motion-JPEG as planar YUV, other formats as an RGB32 picture.
class DecodedPicture {
 public:
  DecodedPicture();
  ~DecodedPicture();
  DecodedPicture(const DecodedPicture&) = delete;
  DecodedPicture& operator=(const DecodedPicture&) = delete;
  // The size it was decoded at; empty when nothing was.
  QSize size() const;
  bool isNull() const;

 private:
  friend class FrameDecoder;
  struct Data;
  std::unique_ptr<Data> d_;
};

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

  // Decodes `frame` into `picture` (whose memory is reused), as large as a
  // drawing of `target` size needs. False when it cannot be decoded.
  bool DecodeForDrawing(const VideoFrame& frame, QSize target, DecodedPicture& picture);
  // Draws `picture` scaled to `rect` of `image` (32 bits a pixel), writing
  // only the pixels of `clip` that lie in `image`. False when `rect` starts
  // outside `image`, or `image` shares its pixels. `picture` is only read: another decoder may
  // draw it at the same time.
  bool Draw(const DecodedPicture& picture, QImage& image, QRect rect, const QRegion& clip);

  // The size the last Motion-JPEG frame was decoded at, before the final
  // scaling.
  QSize lastJpegSize() const { return lastJpegSize_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  QSize lastJpegSize_;
};

}  // namespace kinovo::media::stream
