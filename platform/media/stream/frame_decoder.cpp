#include "platform/media/stream/frame_decoder.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}
#include <libyuv/convert_argb.h>
#include <libyuv/scale_argb.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "platform/media/stream/media_log.h"

namespace kinovo::media::stream {
namespace {

// The largest JPEG side decoded when the mode does not say the size.
constexpr int kMaxJpegSide = 8192;

struct TjDeleter {
  void operator()(void* handle) const { tjDestroy(handle); }
};
struct SwsDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};

// A picture in memory as swscale reads it.
struct Source {
  AVPixelFormat format = AV_PIX_FMT_NONE;
  int width = 0;
  int height = 0;
  bool fullRange = false;
  std::array<const std::uint8_t*, 4> planes{};
  std::array<int, 4> strides{};
};

// Planes of a raw camera frame, or format NONE when the frame is too short
// or of a format we do not know.
Source RawSource(const VideoFrame& frame) {
  const StreamFormat& f = frame.format;
  const int w = f.width;
  const int h = f.height;
  const std::uint8_t* data = frame.bytes().data();
  const std::size_t size = frame.size();
  Source s;
  s.width = w;
  s.height = h;
  auto packed = [&](AVPixelFormat format, int bytesPerPixel) {
    const int stride = f.bytesPerLine >= w * bytesPerPixel ? f.bytesPerLine : w * bytesPerPixel;
    if (size < static_cast<std::size_t>(stride) * (h - 1) + static_cast<std::size_t>(w) * bytesPerPixel) return;
    s.format = format;
    s.planes[0] = data;
    s.strides[0] = stride;
  };
  const PixelFormat* pixels = FindPixelFormat(f.pixelFormat);
  if (!pixels || pixels->avPixelFormat == AV_PIX_FMT_NONE) return s;
  const auto format = static_cast<AVPixelFormat>(pixels->avPixelFormat);
  switch (pixels->layout) {
    case Layout::Packed:
      packed(format, pixels->bytesPerPixel);
      s.fullRange = pixels->fullRange;
      break;
    case Layout::Planar420: {
      const int luma = f.bytesPerLine >= w ? f.bytesPerLine : w;
      const int chroma = luma / 2;
      const std::size_t lumaBytes = static_cast<std::size_t>(luma) * h;
      const std::size_t chromaBytes = static_cast<std::size_t>(chroma) * ((h + 1) / 2);
      if (size < lumaBytes + 2 * chromaBytes) break;
      const bool swapped = pixels->chromaSwapped;
      s.format = format;
      s.planes = {data, data + lumaBytes + (swapped ? chromaBytes : 0),
                  data + lumaBytes + (swapped ? 0 : chromaBytes), nullptr};
      s.strides = {luma, chroma, chroma, 0};
      break;
    }
    case Layout::SemiPlanar420: {
      const int luma = f.bytesPerLine >= w ? f.bytesPerLine : w;
      const std::size_t lumaBytes = static_cast<std::size_t>(luma) * h;
      if (size < lumaBytes + static_cast<std::size_t>(luma) * ((h + 1) / 2)) break;
      s.format = format;
      s.planes = {data, data + lumaBytes, nullptr, nullptr};
      s.strides = {luma, luma, 0, 0};
      break;
    }
    case Layout::Jpeg:
    case Layout::Coded: break;
  }
  return s;
}

AVPixelFormat PlanarFormatOf(int subsampling) {
  switch (subsampling) {
    case TJSAMP_444: return AV_PIX_FMT_YUV444P;
    case TJSAMP_422: return AV_PIX_FMT_YUV422P;
    case TJSAMP_420: return AV_PIX_FMT_YUV420P;
    case TJSAMP_440: return AV_PIX_FMT_YUV440P;
    case TJSAMP_411: return AV_PIX_FMT_YUV411P;
    case TJSAMP_GRAY: return AV_PIX_FMT_GRAY8;
    default: return AV_PIX_FMT_NONE;
  }
}

}  // namespace

JpegScale ChooseJpegScale(QSize picture, QSize target) {
  if (target.isEmpty() || picture.isEmpty()) return {};
  for (const int denom : {8, 4, 2}) {
    // TurboJPEG rounds scaled sizes up.
    const int w = (picture.width() + denom - 1) / denom;
    const int h = (picture.height() + denom - 1) / denom;
    if (w >= target.width() && h >= target.height()) return {1, denom};
  }
  return {};
}

struct FrameDecoder::Impl {
  std::unique_ptr<void, TjDeleter> jpeg{tjInitDecompress()};
  std::unique_ptr<SwsContext, SwsDeleter> scaler;
  // What `scaler` was made for.
  std::array<int, 6> scalerKey{};
  std::vector<std::uint8_t> band;  // BGRA rows of the decoded picture, before scaling
  DecodedPicture scratch;          // Decode()'s

  bool DecodeJpeg(const VideoFrame& frame, QSize target, std::vector<std::uint8_t>& planes,
                  Source& out, QSize& decoded);
  void Recover(const char* call);
  bool Convert(const Source& source, QImage& image);
  bool ConvertToRgb(const Source& source, QSize target, QImage& rgb);
  bool DrawPlanar(const Source& source, QImage& image, QRect rect, const QRegion& clip);
};

FrameDecoder::FrameDecoder() : impl_(std::make_unique<Impl>()) {}
FrameDecoder::~FrameDecoder() = default;

// A handle whose last call failed: libjpeg-turbo 2.1 leaves it in the middle
// of a header after an error, and it then fails on every later frame.
void FrameDecoder::Impl::Recover(const char* call) {
  qCDebug(lcMedia) << "frame decoder:" << call << "failed:" << tjGetErrorStr2(jpeg.get());
  jpeg.reset(tjInitDecompress());
  if (!jpeg) qCWarning(lcMedia) << "frame decoder: tjInitDecompress failed:" << tjGetErrorStr2(nullptr);
}

bool FrameDecoder::Impl::DecodeJpeg(const VideoFrame& frame, QSize target,
                                    std::vector<std::uint8_t>& planes, Source& out, QSize& decoded) {
  if (!jpeg) {
    jpeg.reset(tjInitDecompress());
    if (!jpeg) return false;
  }
  const auto* data = frame.bytes().data();
  const auto size = static_cast<unsigned long>(frame.size());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(jpeg.get(), data, size, &width, &height, &subsampling, &colorspace) != 0) {
    Recover("tjDecompressHeader3");
    return false;
  }
  const AVPixelFormat format = PlanarFormatOf(subsampling);
  if (format == AV_PIX_FMT_NONE || (colorspace != TJCS_YCbCr && colorspace != TJCS_GRAY)) return false;
  // A header that claims more than the camera's mode is damaged; decoding it
  // could take gigabytes.
  const int maxWidth = frame.format.width > 0 ? frame.format.width : kMaxJpegSide;
  const int maxHeight = frame.format.height > 0 ? frame.format.height : kMaxJpegSide;
  if (width <= 0 || height <= 0 || width > maxWidth || height > maxHeight) {
    qCDebug(lcMedia) << "frame decoder: a JPEG of" << width << "x" << height << "in a mode of"
                     << frame.format.width << "x" << frame.format.height << "skipped";
    return false;
  }
  const JpegScale scale = ChooseJpegScale({width, height}, target);
  const tjscalingfactor factor{scale.num, scale.denom};
  const int w = TJSCALED(width, factor);
  const int h = TJSCALED(height, factor);

  const int components = subsampling == TJSAMP_GRAY ? 1 : 3;
  std::array<int, 3> strides{};
  std::array<std::size_t, 3> offsets{};
  std::size_t total = 0;
  for (int c = 0; c < components; ++c) {
    // Rows aligned for the vector code of both libraries.
    strides[c] = (tjPlaneWidth(c, w, subsampling) + 31) & ~31;
    offsets[c] = total;
    total += static_cast<std::size_t>(strides[c]) * tjPlaneHeight(c, h, subsampling);
  }
  planes.resize(total);
  std::array<unsigned char*, 3> dst{};
  for (int c = 0; c < components; ++c) dst[c] = planes.data() + offsets[c];
  // The fast integer transform: what a preview can tell from the exact one
  // is well below a camera's own noise.
  if (tjDecompressToYUVPlanes(jpeg.get(), data, size, dst.data(), w, strides.data(), h,
                              TJFLAG_LIMITSCANS | TJFLAG_FASTDCT) != 0) {
    const bool warning = tjGetErrorCode(jpeg.get()) == TJERR_WARNING;
    Recover("tjDecompressToYUVPlanes");
    if (!warning) return false;  // a warning (a damaged tail, say) still leaves a picture
  }
  out.format = format;
  out.width = w;
  out.height = h;
  out.fullRange = true;  // JFIF
  for (int c = 0; c < components; ++c) {
    out.planes[c] = dst[c];
    out.strides[c] = strides[c];
  }
  decoded = {w, h};
  return true;
}

namespace {

// Rows [first, first + count) of a full-range BT.601 picture to BGRA. For
// 4:2:0, `first` is even.
bool ConvertRows(const Source& s, int first, int count, std::uint8_t* out, int outStride) {
  const int chromaFirst = s.format == AV_PIX_FMT_YUV420P ? first / 2 : first;
  const std::uint8_t* y = s.planes[0] + static_cast<std::ptrdiff_t>(first) * s.strides[0];
  const std::uint8_t* u = nullptr;
  const std::uint8_t* v = nullptr;
  if (s.format != AV_PIX_FMT_GRAY8) {
    u = s.planes[1] + static_cast<std::ptrdiff_t>(chromaFirst) * s.strides[1];
    v = s.planes[2] + static_cast<std::ptrdiff_t>(chromaFirst) * s.strides[2];
  }
  const auto& st = s.strides;
  switch (s.format) {
    case AV_PIX_FMT_YUV422P:
      return libyuv::J422ToARGB(y, st[0], u, st[1], v, st[2], out, outStride, s.width, count) == 0;
    case AV_PIX_FMT_YUV420P:
      return libyuv::J420ToARGB(y, st[0], u, st[1], v, st[2], out, outStride, s.width, count) == 0;
    case AV_PIX_FMT_YUV444P:
      return libyuv::J444ToARGB(y, st[0], u, st[1], v, st[2], out, outStride, s.width, count) == 0;
    case AV_PIX_FMT_GRAY8:
      return libyuv::J400ToARGB(y, st[0], out, outStride, s.width, count) == 0;
    default:
      return false;
  }
}

}  // namespace

// Full-range BT.601 YUV (JPEG's) to BGRA through libyuv, scaled to `rect`
// of `image`, only inside `clip`. Scaled pictures go in bands of output
// rows: the source rows a band needs are converted into a small buffer that
// stays in the cache, and scaled from there as BGRA (libyuv's BGRA scaler
// has vector code where its planar one has not).
bool FrameDecoder::Impl::DrawPlanar(const Source& s, QImage& image, QRect rect, const QRegion& clip) {
  const int w = rect.width();
  const int h = rect.height();
  const int outStride = static_cast<int>(image.bytesPerLine());
  std::uint8_t* const origin = image.bits() + static_cast<std::ptrdiff_t>(rect.y()) * outStride + rect.x() * 4;
  constexpr int kBandRows = 32;
  // Source rows beyond those the scaler's arithmetic needs, on either side.
  constexpr int kMargin = 2;
  const int bandStride = s.width * 4;
  const int maxSourceRows =
      static_cast<int>((static_cast<std::int64_t>(kBandRows) * s.height + h - 1) / h) + 2 * kMargin + 2;
  for (const QRect& area : clip & rect) {
    const QRect local = area.translated(-rect.topLeft());
    // Whole rows at the decoded size: converted in place.
    if (s.width == w && s.height == h && local.width() == w && (local.y() % 2 == 0 || s.format != AV_PIX_FMT_YUV420P)) {
      if (!ConvertRows(s, local.y(), local.height(), origin + static_cast<std::ptrdiff_t>(local.y()) * outStride,
                       outStride)) {
        return false;
      }
      continue;
    }
    band.resize(static_cast<std::size_t>(bandStride) * (maxSourceRows + kMargin));
    for (int top = local.top(); top <= local.bottom(); top += kBandRows) {
      const int bottom = std::min(local.bottom() + 1, top + kBandRows);
      int first = static_cast<int>(static_cast<std::int64_t>(top) * s.height / h) - kMargin;
      first = std::max(0, first) & ~1;
      const int end = std::min<int>(
          s.height, static_cast<int>((static_cast<std::int64_t>(bottom) * s.height + h - 1) / h) + kMargin);
      const int rows = end - first;
      if (!ConvertRows(s, first, rows, band.data(), bandStride)) return false;
      // Past the last row the scaler may look at a row it then weighs zero:
      // let it find a copy of the last one.
      for (int extra = 0; extra < kMargin && end == s.height; ++extra) {
        std::memcpy(band.data() + static_cast<std::size_t>(rows + extra) * bandStride,
                    band.data() + static_cast<std::size_t>(rows - 1) * bandStride, bandStride);
      }
      // The scaler addresses the whole source; only the band's rows are read.
      const std::uint8_t* source = band.data() - static_cast<std::ptrdiff_t>(first) * bandStride;
      if (libyuv::ARGBScaleClip(source, bandStride, s.width, s.height, origin, outStride, w, h, local.x(), top,
                                local.width(), bottom - top, libyuv::kFilterBilinear) != 0) {
        return false;
      }
    }
  }
  return true;
}

bool FrameDecoder::Impl::Convert(const Source& source, QImage& image) {
  const std::array<int, 6> key{source.width, source.height, source.format, image.width(),
                               image.height(), source.fullRange ? 1 : 0};
  if (!scaler || key != scalerKey) {
    scaler.reset(sws_getContext(source.width, source.height, source.format, image.width(),
                                image.height(), AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr,
                                nullptr));
    if (!scaler) return false;
    // Camera YUV is video range, JPEG full range; the output is always full.
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
    sws_setColorspaceDetails(scaler.get(), coefficients, source.fullRange ? 1 : 0, coefficients, 1,
                             0, 1 << 16, 1 << 16);
    scalerKey = key;
  }
  SwsContext* context = scaler.get();
  std::array<std::uint8_t*, 4> dst{image.bits(), nullptr, nullptr, nullptr};
  std::array<int, 4> dstStrides{static_cast<int>(image.bytesPerLine()), 0, 0, 0};
  return sws_scale(context, source.planes.data(), source.strides.data(), 0, source.height, dst.data(),
                   dstStrides.data()) > 0;
}

struct DecodedPicture::Data {
  bool planar = false;  // `source` points into `planes`; else the picture is `rgb`
  Source source;
  std::vector<std::uint8_t> planes;
  QImage rgb;
};

DecodedPicture::DecodedPicture() : d_(std::make_unique<Data>()) {}
DecodedPicture::~DecodedPicture() = default;

QSize DecodedPicture::size() const {
  return d_->planar ? QSize(d_->source.width, d_->source.height) : d_->rgb.size();
}

bool DecodedPicture::isNull() const { return d_->planar ? d_->source.width <= 0 : d_->rgb.isNull(); }

bool FrameDecoder::DecodeForDrawing(const VideoFrame& frame, QSize target, DecodedPicture& picture) {
  DecodedPicture::Data& p = *picture.d_;
  const StreamFormat& f = frame.format;
  if (target.isEmpty()) target = QSize(f.width, f.height);
  p.planar = false;
  p.source = {};
  if (target.isEmpty() || frame.size() == 0) return false;
  if (IsJpeg(f.pixelFormat)) {
    QSize decoded;
    Source source;
    if (!impl_->DecodeJpeg(frame, target, p.planes, source, decoded)) return false;
    lastJpegSize_ = decoded;
    // 4:4:0 and 4:1:1 have no libyuv converter: swscale turns them to RGB.
    if (source.format != AV_PIX_FMT_YUV440P && source.format != AV_PIX_FMT_YUV411P) {
      p.planar = true;
      p.source = source;
      return true;
    }
    return impl_->ConvertToRgb(source, target, p.rgb);
  }
  const Source source = RawSource(frame);
  if (source.format == AV_PIX_FMT_NONE || source.width <= 0 || source.height <= 0) return false;
  return impl_->ConvertToRgb(source, target, p.rgb);
}

bool FrameDecoder::Impl::ConvertToRgb(const Source& source, QSize target, QImage& rgb) {
  if (rgb.size() != target || rgb.format() != QImage::Format_RGB32 || !rgb.isDetached()) {
    rgb = QImage(target, QImage::Format_RGB32);
    if (rgb.isNull()) return false;
  }
  return Convert(source, rgb);
}

bool FrameDecoder::Draw(const DecodedPicture& picture, QImage& image, QRect rect, const QRegion& clip) {
  const DecodedPicture::Data& p = *picture.d_;
  if (picture.isNull() || rect.isEmpty() || rect.x() < 0 || rect.y() < 0 || !image.isDetached() ||
      image.depth() != 32) {
    return false;
  }
  // The picture may reach past the image's right or bottom edge; what lies
  // there is not drawn.
  const QRegion inside = clip & image.rect();
  if (p.planar) return impl_->DrawPlanar(p.source, image, rect, inside);
  const int outStride = static_cast<int>(image.bytesPerLine());
  std::uint8_t* const origin = image.bits() + static_cast<std::ptrdiff_t>(rect.y()) * outStride + rect.x() * 4;
  for (const QRect& area : inside & rect) {
    const QRect local = area.translated(-rect.topLeft());
    if (libyuv::ARGBScaleClip(p.rgb.constBits(), static_cast<int>(p.rgb.bytesPerLine()), p.rgb.width(),
                              p.rgb.height(), origin, outStride, rect.width(), rect.height(), local.x(),
                              local.y(), local.width(), local.height(), libyuv::kFilterBilinear) != 0) {
      return false;
    }
  }
  return true;
}

QImage FrameDecoder::Decode(const VideoFrame& frame, QSize target, QImage reuse) {
  const StreamFormat& f = frame.format;
  if (target.isEmpty()) target = QSize(f.width, f.height);
  if (!DecodeForDrawing(frame, target, impl_->scratch)) return {};
  QImage image = std::move(reuse);
  if (image.size() != target || image.format() != QImage::Format_RGB32 || !image.isDetached()) {
    image = QImage(target, QImage::Format_RGB32);
    if (image.isNull()) return {};
  }
  if (!Draw(impl_->scratch, image, image.rect(), image.rect())) return {};
  return image;
}

}  // namespace kinovo::media::stream
