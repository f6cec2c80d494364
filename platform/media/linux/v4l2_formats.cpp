#include "platform/media/linux/v4l2_formats.h"

#include <algorithm>
#include <array>

namespace kinovo::media::linux_backend {

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
