#include "platform/media/stream/still_decoder.h"

#include <libyuv/convert_argb.h>
#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

#include <QtEndian>
#include <cstddef>
#include <memory>

#include "platform/media/stream/frame_decoder.h"
#include "platform/media/stream/media_log.h"

namespace kinovo::media::stream {
namespace {

// The largest JPEG side decoded when the mode does not say the size.
constexpr int kMaxJpegSide = 8192;

struct TjDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};

std::string Size(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

QImage Fail(std::string* why, std::string words) {
  if (why) *why = std::move(words);
  return {};
}

QImage DecodeJpeg(const VideoFrame& frame, std::string* why) {
  const std::unique_ptr<void, TjDeleter> jpeg(tjInitDecompress());
  if (!jpeg) return Fail(why, std::string("tjInitDecompress failed: ") + tjGetErrorStr2(nullptr));
  const unsigned char* data = frame.bytes().data();
  const auto size = static_cast<unsigned long>(frame.size());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(jpeg.get(), data, size, &width, &height, &subsampling, &colorspace) !=
      0) {
    return Fail(why, std::string("tjDecompressHeader3 failed: ") + tjGetErrorStr2(jpeg.get()));
  }
  // A header that claims more than the camera's mode is damaged.
  const StreamFormat& f = frame.format;
  const int maxWidth = f.width > 0 ? f.width : kMaxJpegSide;
  const int maxHeight = f.height > 0 ? f.height : kMaxJpegSide;
  if (width <= 0 || height <= 0 || width > maxWidth || height > maxHeight) {
    return Fail(why,
                "a JPEG of " + Size(width, height) + " in a mode of " + Size(f.width, f.height));
  }
  QImage picture(width, height, QImage::Format_RGB32);
  if (picture.isNull()) return Fail(why, "no memory for a picture of " + Size(width, height));
  // RGB32 is 0xffRRGGBB in native order; libjpeg-turbo fills X with 0xff.
  constexpr int kPixels = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;
  if (tjDecompress2(jpeg.get(), data, size, picture.bits(), width,
                    static_cast<int>(picture.bytesPerLine()), height, kPixels,
                    TJFLAG_ACCURATEDCT | TJFLAG_LIMITSCANS) != 0) {
    // A warning (a damaged tail, say) leaves the picture the preview shows too.
    if (tjGetErrorCode(jpeg.get()) != TJERR_WARNING) {
      return Fail(why, std::string("tjDecompress2 failed: ") + tjGetErrorStr2(jpeg.get()));
    }
    qCDebug(lcMedia) << "still decoder: tjDecompress2:" << tjGetErrorStr2(jpeg.get());
  }
  return picture;
}

// libyuv's conversions of the raw YUV layouts; a null image for other
// formats, and `tooShort` set for a frame too short for its format.
QImage DecodeYuv(const VideoFrame& frame, bool& tooShort) {
  const StreamFormat& f = frame.format;
  const int w = f.width;
  const int h = f.height;
  const std::uint8_t* data = frame.bytes().data();
  const std::size_t size = frame.size();
  tooShort = false;
  if (w <= 0 || h <= 0) return {};
  const bool packed = f.pixelFormat == fourcc::kYUYV || f.pixelFormat == fourcc::kUYVY;
  const bool planar = f.pixelFormat == fourcc::kYUV420 || f.pixelFormat == fourcc::kYVU420;
  const bool semiPlanar = f.pixelFormat == fourcc::kNV12 || f.pixelFormat == fourcc::kNV21;
  if (!packed && !planar && !semiPlanar) return {};
  const int luma = packed ? (f.bytesPerLine >= w * 2 ? f.bytesPerLine : w * 2)
                          : (f.bytesPerLine >= w ? f.bytesPerLine : w);
  const std::size_t lumaBytes = static_cast<std::size_t>(luma) * h;
  const int chroma = planar ? luma / 2 : luma;
  const std::size_t chromaBytes = static_cast<std::size_t>(chroma) * ((h + 1) / 2);
  const std::size_t needed = packed   ? static_cast<std::size_t>(luma) * (h - 1) + w * 2
                             : planar ? lumaBytes + 2 * chromaBytes
                                      : lumaBytes + chromaBytes;
  if (size < needed) {
    tooShort = true;
    return {};
  }
  QImage picture(w, h, QImage::Format_RGB32);
  if (picture.isNull()) return {};
  std::uint8_t* out = picture.bits();
  const int stride = static_cast<int>(picture.bytesPerLine());
  const std::uint8_t* second = data + lumaBytes;
  const std::uint8_t* third = second + chromaBytes;
  int result = -1;
  switch (f.pixelFormat) {
    case fourcc::kYUYV: result = libyuv::YUY2ToARGB(data, luma, out, stride, w, h); break;
    case fourcc::kUYVY: result = libyuv::UYVYToARGB(data, luma, out, stride, w, h); break;
    case fourcc::kYUV420:
      result = libyuv::I420ToARGB(data, luma, second, chroma, third, chroma, out, stride, w, h);
      break;
    case fourcc::kYVU420:
      result = libyuv::I420ToARGB(data, luma, third, chroma, second, chroma, out, stride, w, h);
      break;
    case fourcc::kNV12:
      result = libyuv::NV12ToARGB(data, luma, second, chroma, out, stride, w, h);
      break;
    case fourcc::kNV21:
      result = libyuv::NV21ToARGB(data, luma, second, chroma, out, stride, w, h);
      break;
    default: break;
  }
  return result == 0 ? picture : QImage();
}

}  // namespace

QImage DecodeStill(const VideoFrame& frame, QSize size, std::string* why) {
  const StreamFormat& f = frame.format;
  if (size.isEmpty()) size = QSize(f.width, f.height);
  if (size.isEmpty() || frame.size() == 0) return Fail(why, "an empty frame");
  QImage picture;
  if (IsJpeg(f.pixelFormat)) {
    picture = DecodeJpeg(frame, why);
    if (picture.isNull()) return {};
  } else {
    bool tooShort = false;
    picture = DecodeYuv(frame, tooShort);
    if (tooShort) {
      return Fail(why, "a frame of " + std::to_string(frame.size()) + " bytes for " +
                           PixelFormatName(f.pixelFormat) + " " + Size(f.width, f.height));
    }
    if (picture.isNull()) picture = FrameDecoder().Decode(frame, QSize(f.width, f.height));
    if (picture.isNull()) {
      return Fail(why, "a " + PixelFormatName(f.pixelFormat) + " frame that cannot be converted");
    }
  }
  if (picture.size() == size) return picture;
  QImage scaled(size, QImage::Format_RGB32);
  if (scaled.isNull() ||
      libyuv::ARGBScale(picture.constBits(), static_cast<int>(picture.bytesPerLine()),
                        picture.width(), picture.height(), scaled.bits(),
                        static_cast<int>(scaled.bytesPerLine()), size.width(), size.height(),
                        libyuv::kFilterBilinear) != 0) {
    return Fail(why, "the picture cannot be scaled to " + Size(size.width(), size.height()));
  }
  return scaled;
}

}  // namespace kinovo::media::stream
