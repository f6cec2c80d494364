#include "platform/media/linux/v4l2_formats.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace kinovo::media::linux_backend {

std::string PixelFormatName(std::uint32_t pixelFormat) {
  switch (pixelFormat) {
    case pixfmt::kYUYV: return "YUY2";
    case pixfmt::kYVU420: return "YV12";
    case pixfmt::kYUV420: return "IYUV";
    case pixfmt::kBGR24: return "RGB24";
    case pixfmt::kXBGR32:
    case pixfmt::kBGR32: return "RGB32";
    case pixfmt::kJPEG: return "MJPG";
    case pixfmt::kMPEG: return "MPEG2_VIDEO";
    default: break;
  }
  std::string name;
  for (int shift = 0; shift < 32; shift += 8) {
    const auto c = static_cast<unsigned char>((pixelFormat >> shift) & 0xFF);
    if (c < 0x20 || c > 0x7E) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(pixelFormat));
      return hex;
    }
    name.push_back(static_cast<char>(c));
  }
  while (!name.empty() && name.back() == ' ') name.pop_back();
  return name;
}

std::optional<std::int64_t> FrameBytesByArithmetic(std::uint32_t pixelFormat, std::int32_t width,
                                                   std::int32_t height) {
  if (width <= 0 || height <= 0) return std::nullopt;
  const std::int64_t w = width;
  const std::int64_t h = height;
  switch (pixelFormat) {
    case pixfmt::kYUYV:
    case pixfmt::kYVYU:
    case pixfmt::kUYVY:
    case pixfmt::kVYUY:
    case pixfmt::kRGB565:
    case pixfmt::kRGB555:
    case pixfmt::kY16:
      return w * h * 2;
    case pixfmt::kYVU420:
    case pixfmt::kYUV420:
    case pixfmt::kNV12:
    case pixfmt::kNV21:
      // Chroma planes are subsampled by two, rounding odd sizes up.
      return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
    case pixfmt::kBGR24:
    case pixfmt::kRGB24:
      return w * h * 3;
    case pixfmt::kBGR32:
    case pixfmt::kRGB32:
    case pixfmt::kXBGR32:
    case pixfmt::kXRGB32:
    case pixfmt::kABGR32:
    case pixfmt::kARGB32:
      return w * h * 4;
    case pixfmt::kGREY:
      return w * h;
    default:
      return std::nullopt;
  }
}

std::int64_t IntervalToUnits(std::uint32_t numerator, std::uint32_t denominator) {
  if (numerator == 0 || denominator == 0) return 0;
  return static_cast<std::int64_t>(numerator) * kUnitsPerSecond / denominator;
}

std::vector<Size> SizesInRange(Size min, Size max, Size step) {
  static constexpr std::array<Size, 24> kCommon{{
      {160, 120},   {176, 144},   {320, 180},   {320, 240},   {352, 288},   {424, 240},
      {640, 360},   {640, 480},   {800, 600},   {848, 480},   {854, 480},   {960, 540},
      {1024, 576},  {1024, 768},  {1280, 720},  {1280, 800},  {1280, 960},  {1280, 1024},
      {1600, 900},  {1600, 1200}, {1920, 1080}, {2560, 1440}, {3840, 2160}, {4096, 2160},
  }};
  std::vector<Size> sizes;
  if (min.cx <= 0 || min.cy <= 0 || max.cx < min.cx || max.cy < min.cy) return sizes;
  const std::int32_t stepX = step.cx > 0 ? step.cx : 1;
  const std::int32_t stepY = step.cy > 0 ? step.cy : 1;
  auto onGrid = [&](Size s) {
    return s.cx >= min.cx && s.cx <= max.cx && s.cy >= min.cy && s.cy <= max.cy &&
           (s.cx - min.cx) % stepX == 0 && (s.cy - min.cy) % stepY == 0;
  };
  for (const Size& s : kCommon) {
    if (onGrid(s)) sizes.push_back(s);
  }
  if (std::find(sizes.begin(), sizes.end(), max) == sizes.end()) sizes.push_back(max);
  std::stable_sort(sizes.begin(), sizes.end(), [](Size a, Size b) {
    const auto areaA = static_cast<std::int64_t>(a.cx) * a.cy;
    const auto areaB = static_cast<std::int64_t>(b.cx) * b.cy;
    return areaA != areaB ? areaA < areaB : a.cx < b.cx;
  });
  return sizes;
}

}  // namespace kinovo::media::linux_backend
