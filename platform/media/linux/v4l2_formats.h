#pragma once

// Pure helpers of the V4L2 back end: pixel formats, frame sizes and frame
// intervals. No kernel headers here, so they can be tested on their own.

#include <cstdint>
#include <optional>
#include <vector>

#include <string>

#include "platform/media/devices.h"

namespace kinovo::media::linux_backend {

constexpr std::uint32_t MakeFourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<std::uint8_t>(a)) |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 8 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)) << 24;
}

struct Size {
  std::int32_t cx = 0;
  std::int32_t cy = 0;
  friend constexpr bool operator==(const Size&, const Size&) = default;
};

namespace pixfmt {
inline constexpr std::uint32_t kYUYV = MakeFourcc('Y', 'U', 'Y', 'V');
inline constexpr std::uint32_t kYVYU = MakeFourcc('Y', 'V', 'Y', 'U');
inline constexpr std::uint32_t kUYVY = MakeFourcc('U', 'Y', 'V', 'Y');
inline constexpr std::uint32_t kVYUY = MakeFourcc('V', 'Y', 'U', 'Y');
inline constexpr std::uint32_t kYVU420 = MakeFourcc('Y', 'V', '1', '2');
inline constexpr std::uint32_t kYUV420 = MakeFourcc('Y', 'U', '1', '2');
inline constexpr std::uint32_t kNV12 = MakeFourcc('N', 'V', '1', '2');
inline constexpr std::uint32_t kNV21 = MakeFourcc('N', 'V', '2', '1');
inline constexpr std::uint32_t kBGR24 = MakeFourcc('B', 'G', 'R', '3');
inline constexpr std::uint32_t kRGB24 = MakeFourcc('R', 'G', 'B', '3');
inline constexpr std::uint32_t kBGR32 = MakeFourcc('B', 'G', 'R', '4');
inline constexpr std::uint32_t kRGB32 = MakeFourcc('R', 'G', 'B', '4');
inline constexpr std::uint32_t kXBGR32 = MakeFourcc('X', 'R', '2', '4');
inline constexpr std::uint32_t kXRGB32 = MakeFourcc('B', 'X', '2', '4');
inline constexpr std::uint32_t kABGR32 = MakeFourcc('A', 'R', '2', '4');
inline constexpr std::uint32_t kARGB32 = MakeFourcc('B', 'A', '2', '4');
inline constexpr std::uint32_t kRGB565 = MakeFourcc('R', 'G', 'B', 'P');
inline constexpr std::uint32_t kRGB555 = MakeFourcc('R', 'G', 'B', 'O');
inline constexpr std::uint32_t kGREY = MakeFourcc('G', 'R', 'E', 'Y');
inline constexpr std::uint32_t kY16 = MakeFourcc('Y', '1', '6', ' ');
inline constexpr std::uint32_t kMJPEG = MakeFourcc('M', 'J', 'P', 'G');
inline constexpr std::uint32_t kJPEG = MakeFourcc('J', 'P', 'E', 'G');
inline constexpr std::uint32_t kMPEG = MakeFourcc('M', 'P', 'E', 'G');
inline constexpr std::uint32_t kH264 = MakeFourcc('H', '2', '6', '4');
}  // namespace pixfmt

// The name a pixel format goes by in AVI files and in the probe's output:
// YUYV is "YUY2", YUV420 "IYUV", YVU420 "YV12", BGR24 "RGB24",
// XBGR32/BGR32 "RGB32", MJPEG/JPEG "MJPG", MPEG "MPEG2_VIDEO"; any other
// its own four characters.
std::string PixelFormatName(std::uint32_t pixelFormat);

// Bytes of one frame by the format's own arithmetic; empty for compressed
// or unknown formats.
std::optional<std::int64_t> FrameBytesByArithmetic(std::uint32_t pixelFormat, std::int32_t width,
                                                   std::int32_t height);

// A frame interval of num/den seconds in 100 ns units, rounded down so that
// 1/30 s stays 333333 (and 10000000 / 333333 gives back 30); 0 when the
// fraction is not usable.
std::int64_t IntervalToUnits(std::uint32_t numerator, std::uint32_t denominator);

// The picture sizes offered for a stepwise or continuous frame-size range:
// the common picture sizes that lie inside the range on its step grid,
// plus the range's largest size, ascending by area.
std::vector<Size> SizesInRange(Size min, Size max, Size step);

// Frames per second for an interval in 100 ns units, as the capture engine
// computes it (integer division); 0 for an unusable interval.
constexpr std::int64_t FpsOfInterval(std::int64_t units) {
  return units > 0 ? kUnitsPerSecond / units : 0;
}

}  // namespace kinovo::media::linux_backend
