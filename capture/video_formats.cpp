#include "capture/video_formats.h"

#include "capture/capture_log.h"

namespace kinovo {
namespace {

using media::kUnitsPerSecond;

// Low 32 bits of a 64-bit result, as the records keep them.
std::int32_t Low32(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

}  // namespace

std::vector<VideoFormat> FormatsOfModes(const std::vector<media::CameraMode>& modes) {
  std::vector<VideoFormat> formats;
  for (const media::CameraMode& mode : modes) {
    // A mode whose intervals or size cannot be divided by is left out.
    if (mode.minInterval <= 0 || mode.maxInterval <= 0 || mode.width <= 0 || mode.height <= 0) {
      continue;
    }
    const std::int32_t maxFps = Low32(kUnitsPerSecond / mode.minInterval);
    if (maxFps <= 0) continue;  // an interval longer than a second
    VideoFormat format;
    format.index = static_cast<std::int32_t>(formats.size());
    format.width = mode.width;
    format.height = mode.height;
    format.minFps = Low32(kUnitsPerSecond / mode.maxInterval);
    format.maxFps = maxFps;
    format.frameBytes = Low32(mode.frameBytes);
    format.subtype = mode.pixelFormat;
    formats.push_back(format);
  }
  return formats;
}

Status EnumerateFormats(VideoDevice& device) {
  device.formats.clear();
  if (!device.camera) return media::kFalse;
  std::vector<media::CameraMode> modes;
  if (const std::error_code error = device.camera->ListModes(modes)) {
    qCWarning(lcCapture).noquote()
        << "camera" << DescribeDevice(device)
        << ": VIDIOC_ENUM_FMT failed:" << QString::fromStdString(error.message());
    return media::StatusFromError(error);
  }
  device.formats = FormatsOfModes(modes);
  return media::kOk;
}

std::int32_t RateFor(const VideoFormat& f, std::int32_t requested) {
  std::int32_t rate = requested;
  if (rate == 0) rate = f.maxFps;
  if (rate > f.maxFps) rate = f.maxFps;
  if (rate < f.minFps) rate = f.minFps;
  // A rate that still is not positive (a negative request on a format whose
  // lowest rate is 0) means the highest rate, as 0 does.
  if (rate <= 0) rate = f.maxFps;
  return rate > 0 ? rate : 0;
}

Status ApplyFormat(VideoDevice& device, std::int32_t formatIndex, std::int32_t frameRate) {
  if (!device.camera || formatIndex < 0 ||
      static_cast<std::size_t>(formatIndex) >= device.formats.size()) {
    return media::kFalse;
  }
  const VideoFormat& f = device.formats[static_cast<std::size_t>(formatIndex)];
  const std::int32_t rate = RateFor(f, frameRate);
  if (rate <= 0 || f.width <= 0 || f.height <= 0) return media::StatusFromErrno(EINVAL);
  // The interval in whole 100 ns units, as the rate's own 32-bit division
  // gives it.
  const std::int64_t interval = static_cast<std::int32_t>(10000000 / rate);
  if (const std::error_code error =
          device.camera->SetMode(f.subtype, f.width, f.height, interval)) {
    qCWarning(lcCapture).noquote()
        << "camera" << DescribeDevice(device) << ": VIDIOC_S_FMT" << f.width << "x" << f.height
        << "at" << rate << "fps failed:" << QString::fromStdString(error.message());
    return media::StatusFromError(error);
  }
  qCDebug(lcCapture).noquote() << "camera" << DescribeDevice(device) << ": format" << f.width << "x"
                               << f.height << "at" << rate << "fps";
  return media::kOk;
}

}  // namespace kinovo
