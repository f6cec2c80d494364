#include "platform/media/stream/pixel_formats.h"

extern "C" {
#include <libavcodec/codec_id.h>
#include <libavutil/pixfmt.h>
}

#include <array>
#include <cstdio>

namespace kinovo::media::stream {
namespace {

using namespace fourcc;
constexpr int kNoRank = 10;
constexpr int kNoPixels = AV_PIX_FMT_NONE;
constexpr int kNotRecorded = AV_CODEC_ID_NONE;
constexpr int kRaw = AV_CODEC_ID_RAWVIDEO;

// Ranks prefer uncompressed pictures, then Motion-JPEG, then MPEG.
constexpr std::array kTable{
    PixelFormat{kUYVY, "UYVY", Layout::Packed, 2, false, false, Fourcc('U', 'Y', 'V', 'Y'), 16,
                AV_PIX_FMT_UYVY422, kRaw, 1},
    PixelFormat{kYUYV, "YUY2", Layout::Packed, 2, false, false, Fourcc('Y', 'U', 'Y', '2'), 16,
                AV_PIX_FMT_YUYV422, kRaw, 2},
    PixelFormat{kYVU420, "YV12", Layout::Planar420, 0, true, false, Fourcc('Y', 'V', '1', '2'), 12,
                AV_PIX_FMT_YUV420P, kRaw, 3},
    PixelFormat{kYUV420, "IYUV", Layout::Planar420, 0, false, false, Fourcc('I', '4', '2', '0'), 12,
                AV_PIX_FMT_YUV420P, kRaw, 4},
    PixelFormat{kBGR32, "RGB32", Layout::Packed, 4, false, false, 0, 32, AV_PIX_FMT_BGR0, kRaw, 5},
    PixelFormat{kXBGR32, "RGB32", Layout::Packed, 4, false, false, 0, 32, AV_PIX_FMT_BGR0, kRaw, 5},
    PixelFormat{kBGR24, "RGB24", Layout::Packed, 3, false, false, 0, 24, AV_PIX_FMT_BGR24, kRaw, 6},
    PixelFormat{kMJPEG, "MJPG", Layout::Jpeg, 0, false, false, Fourcc('M', 'J', 'P', 'G'), 24,
                kNoPixels, AV_CODEC_ID_MJPEG, 7},
    PixelFormat{kJPEG, "MJPG", Layout::Jpeg, 0, false, false, Fourcc('M', 'J', 'P', 'G'), 24,
                kNoPixels, AV_CODEC_ID_MJPEG, 7},
    PixelFormat{kMPEG, "MPEG2_VIDEO", Layout::Coded, 0, false, false, 0, 0, kNoPixels, kNotRecorded,
                8},
    PixelFormat{kNV12, "NV12", Layout::SemiPlanar420, 0, false, false, Fourcc('N', 'V', '1', '2'),
                12, AV_PIX_FMT_NV12, kRaw, kNoRank},
    PixelFormat{kNV21, "NV21", Layout::SemiPlanar420, 0, true, false, Fourcc('N', 'V', '2', '1'),
                12, AV_PIX_FMT_NV21, kRaw, kNoRank},
    PixelFormat{kGREY, "GREY", Layout::Packed, 1, false, true, Fourcc('Y', '8', '0', '0'), 8,
                AV_PIX_FMT_GRAY8, kRaw, kNoRank},
    PixelFormat{kH264, "H264", Layout::Coded, 0, false, false, Fourcc('H', '2', '6', '4'), 24,
                kNoPixels, AV_CODEC_ID_H264, kNoRank},
    PixelFormat{kRGB24, "RGB3", Layout::Packed, 3, false, false, 0, 24, AV_PIX_FMT_RGB24,
                kNotRecorded, kNoRank},
    PixelFormat{kYVYU, "YVYU", Layout::Packed, 2, false, false, 0, 16, kNoPixels, kNotRecorded,
                kNoRank},
    PixelFormat{kVYUY, "VYUY", Layout::Packed, 2, false, false, 0, 16, kNoPixels, kNotRecorded,
                kNoRank},
    PixelFormat{kRGB565, "RGBP", Layout::Packed, 2, false, false, 0, 16, kNoPixels, kNotRecorded,
                kNoRank},
    PixelFormat{kRGB555, "RGBO", Layout::Packed, 2, false, false, 0, 16, kNoPixels, kNotRecorded,
                kNoRank},
    PixelFormat{kY16, "Y16", Layout::Packed, 2, false, true, 0, 16, kNoPixels, kNotRecorded,
                kNoRank},
    PixelFormat{kRGB32, "RGB4", Layout::Packed, 4, false, false, 0, 32, kNoPixels, kNotRecorded,
                kNoRank},
    PixelFormat{kXRGB32, "BX24", Layout::Packed, 4, false, false, 0, 32, kNoPixels, kNotRecorded,
                kNoRank},
    PixelFormat{kABGR32, "AR24", Layout::Packed, 4, false, false, 0, 32, kNoPixels, kNotRecorded,
                kNoRank},
    PixelFormat{kARGB32, "BA24", Layout::Packed, 4, false, false, 0, 32, kNoPixels, kNotRecorded,
                kNoRank},
};

}  // namespace

const PixelFormat* FindPixelFormat(std::uint32_t code) {
  for (const PixelFormat& row : kTable) {
    if (row.fourcc == code) return &row;
  }
  return nullptr;
}

bool IsCompressed(std::uint32_t code) {
  const PixelFormat* f = FindPixelFormat(code);
  return f && (f->layout == Layout::Jpeg || f->layout == Layout::Coded);
}

bool IsJpeg(std::uint32_t code) {
  const PixelFormat* f = FindPixelFormat(code);
  return f && f->layout == Layout::Jpeg;
}

std::optional<std::int64_t> FrameBytesByArithmetic(std::uint32_t code, std::int32_t width,
                                                   std::int32_t height) {
  const PixelFormat* f = FindPixelFormat(code);
  if (!f || width <= 0 || height <= 0) return std::nullopt;
  const std::int64_t w = width;
  const std::int64_t h = height;
  switch (f->layout) {
    case Layout::Packed: return w * h * f->bytesPerPixel;
    case Layout::Planar420:
    case Layout::SemiPlanar420: return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
    case Layout::Jpeg:
    case Layout::Coded: break;
  }
  return std::nullopt;
}

std::string PixelFormatName(std::uint32_t code) {
  if (const PixelFormat* f = FindPixelFormat(code)) return f->name;
  std::string name;
  for (int shift = 0; shift < 32; shift += 8) {
    const auto c = static_cast<unsigned char>((code >> shift) & 0xFF);
    if (c < 0x20 || c > 0x7E) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
      return hex;
    }
    name.push_back(static_cast<char>(c));
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

int ModeRank(std::uint32_t code) {
  const PixelFormat* f = FindPixelFormat(code);
  return f ? f->modeRank : kNoRank;
}

}  // namespace kinovo::media::stream
