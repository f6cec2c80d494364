#pragma once

// Pure helpers of the V4L2 back end: frame sizes and frame intervals. No kernel headers here, so
// they can be tested on their own.

#include <cstdint>
#include <optional>
#include <vector>

#include <string>

#include "platform/media/devices.h"
#include "platform/media/stream/pixel_formats.h"

namespace kinovo::media::linux_backend {

// V4L2 pixel formats by name.
namespace pixfmt = stream::fourcc;

struct Size {
  std::int32_t cx = 0;
  std::int32_t cy = 0;
  friend constexpr bool operator==(const Size&, const Size&) = default;
};

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
