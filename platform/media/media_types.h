#pragma once

#include <cstdint>
#include <optional>

#include "platform/media/guid.h"

namespace kinovo::media {

struct Size {
  std::int32_t cx = 0;
  std::int32_t cy = 0;
  friend constexpr bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  std::int32_t left = 0;
  std::int32_t top = 0;
  std::int32_t right = 0;
  std::int32_t bottom = 0;
  friend constexpr bool operator==(const Rect&, const Rect&) = default;
};

struct BitmapInfoHeader {
  std::uint32_t biSize = 40;
  std::int32_t biWidth = 0;
  std::int32_t biHeight = 0;
  std::uint16_t biPlanes = 1;
  std::uint16_t biBitCount = 0;
  std::uint32_t biCompression = 0;  // 0 = uncompressed RGB, else a four-character code
  std::uint32_t biSizeImage = 0;
  std::int32_t biXPelsPerMeter = 0;
  std::int32_t biYPelsPerMeter = 0;
  std::uint32_t biClrUsed = 0;
  std::uint32_t biClrImportant = 0;
};

// The video-info format block. The bit rate is 64-bit: a 4K stream's rate
// does not fit in 32 bits.
struct VideoInfoHeader {
  Rect rcSource;
  Rect rcTarget;
  std::uint64_t dwBitRate = 0;
  std::uint32_t dwBitErrorRate = 0;
  std::int64_t AvgTimePerFrame = 0;  // 100 ns units
  BitmapInfoHeader bmiHeader;
};

// A media type. The format block is held by value: `videoInfo` is present
// exactly when `formattype` is FORMAT_VideoInfo. Other format types carry
// no block that the engine reads.
struct MediaType {
  Guid majortype;
  Guid subtype;
  bool bFixedSizeSamples = false;
  bool bTemporalCompression = false;
  std::uint32_t lSampleSize = 0;
  Guid formattype;
  std::optional<VideoInfoHeader> videoInfo;
};

// One stream capability of a video pin. The bit rates are 64-bit (see
// VideoInfoHeader); the analogue video-standard field has no meaning on
// this platform and is left out, so the structure keeps its customary
// 128-byte size, which is what the pin reports as its capability size.
struct VideoStreamConfigCaps {
  Guid guid;  // format type
  Size InputSize;
  Size MinCroppingSize;
  Size MaxCroppingSize;
  std::int32_t CropGranularityX = 0;
  std::int32_t CropGranularityY = 0;
  std::int32_t CropAlignX = 0;
  std::int32_t CropAlignY = 0;
  Size MinOutputSize;
  Size MaxOutputSize;
  std::int32_t OutputGranularityX = 0;
  std::int32_t OutputGranularityY = 0;
  std::int32_t StretchTapsX = 0;
  std::int32_t StretchTapsY = 0;
  std::int32_t ShrinkTapsX = 0;
  std::int32_t ShrinkTapsY = 0;
  std::int64_t MinFrameInterval = 0;  // 100 ns units
  std::int64_t MaxFrameInterval = 0;  // 100 ns units
  std::int64_t MinBitsPerSecond = 0;
  std::int64_t MaxBitsPerSecond = 0;
};

inline constexpr std::int32_t kVideoStreamConfigCapsSize = 128;
static_assert(sizeof(VideoStreamConfigCaps) == kVideoStreamConfigCapsSize);

// One second in 100 ns units.
inline constexpr std::int64_t kUnitsPerSecond = 10000000;

}  // namespace kinovo::media
