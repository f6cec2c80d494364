#include "capture/video_formats.h"

#include "capture/capture_log.h"

namespace kinovo {
namespace {

using media::Failed;
using media::kFalse;
using media::kOk;
using media::kUnitsPerSecond;

// Low 32 bits of a 64-bit result, as the records keep them.
std::int32_t Low32(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
}

}  // namespace

Status EnumerateFormats(VideoDevice& device) {
  device.formats.clear();
  if (!device.mainPin) return kFalse;

  std::shared_ptr<media::StreamConfig> config;
  Status status = device.mainPin->QueryStreamConfig(config);
  if (Failed(status) || !config) {
    qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device)
                                   << ": QueryStreamConfig failed:" << DescribeStatus(status);
    return status;
  }

  std::int32_t count = 0;
  std::int32_t size = 0;
  status = config->GetNumberOfCapabilities(count, size);
  if (Failed(status) || size != media::kVideoStreamConfigCapsSize) {
    qCWarning(lcCapture).noquote()
        << "camera" << DescribeDevice(device)
        << ": GetNumberOfCapabilities failed:" << DescribeStatus(status) << "record size" << size;
    return status;
  }

  for (std::int32_t i = 0; i < count; ++i) {
    media::MediaType mediaType;
    media::VideoStreamConfigCaps caps;
    status = config->GetStreamCaps(i, mediaType, caps);
    if (status != kOk) {
      qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device) << ": GetStreamCaps" << i
                                     << "failed:" << DescribeStatus(status);
      continue;
    }
    if (mediaType.formattype != media::FORMAT_VideoInfo) continue;
    // A capability whose intervals or size cannot be divided by is left
    // out, like one of another format type.
    if (caps.MinFrameInterval <= 0 || caps.MaxFrameInterval <= 0 ||
        caps.MinOutputSize.cx <= 0 || caps.MinOutputSize.cy <= 0) {
      continue;
    }
    const std::int32_t maxFps = Low32(kUnitsPerSecond / caps.MinFrameInterval);
    if (maxFps <= 0) continue;  // an interval longer than a second

    VideoFormat format;
    format.index = static_cast<std::int32_t>(device.formats.size());
    format.width = caps.MinOutputSize.cx;
    format.height = caps.MinOutputSize.cy;
    format.minFps = Low32(kUnitsPerSecond / caps.MaxFrameInterval);
    format.maxFps = maxFps;
    format.frameBytes = Low32((caps.MaxBitsPerSecond / 8) / maxFps);
    format.subtype = mediaType.subtype;
    device.formats.push_back(format);
  }
  return status;
}

Status ApplyFormat(std::int32_t formatIndex, media::Pin* pin, VideoDevice& device,
                   std::int32_t frameRate) {
  if (!pin || formatIndex < 0 ||
      static_cast<std::size_t>(formatIndex) >= device.formats.size()) {
    return kFalse;
  }
  std::shared_ptr<media::StreamConfig> config;
  Status status = pin->QueryStreamConfig(config);
  if (Failed(status) || !config) {
    qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device)
                                   << ": QueryStreamConfig failed:" << DescribeStatus(status);
    return status;
  }

  media::MediaType mediaType;
  status = config->GetFormat(mediaType);
  if (status != kOk) {
    qCWarning(lcCapture).noquote()
        << "camera" << DescribeDevice(device) << ": GetFormat failed:" << DescribeStatus(status);
    return status;
  }
  if (mediaType.formattype != media::FORMAT_VideoInfo || !mediaType.videoInfo) return kOk;

  const VideoFormat& f = device.formats[static_cast<std::size_t>(formatIndex)];
  std::int32_t rate = frameRate;
  if (rate == 0) rate = f.maxFps;
  if (rate > f.maxFps) rate = f.maxFps;
  if (rate < f.minFps) rate = f.minFps;
  // A rate that still is not positive (a negative request on a format whose
  // lowest rate is 0) means the highest rate, as 0 does.
  if (rate <= 0) rate = f.maxFps;
  if (rate <= 0 || f.width <= 0 || f.height <= 0) return media::kInvalidArg;

  media::VideoInfoHeader& vih = *mediaType.videoInfo;
  vih.AvgTimePerFrame = static_cast<std::int64_t>(static_cast<std::int32_t>(10000000 / rate));
  vih.dwBitRate = static_cast<std::uint64_t>(static_cast<std::int64_t>(f.frameBytes) * rate * 8);
  vih.bmiHeader.biWidth = f.width;
  vih.bmiHeader.biHeight = f.height;
  vih.bmiHeader.biBitCount =
      static_cast<std::uint16_t>(static_cast<std::int64_t>(f.frameBytes) * 8 / f.width / f.height);
  vih.rcSource = {};
  vih.rcTarget = {};
  mediaType.subtype = f.subtype;
  mediaType.lSampleSize = static_cast<std::uint32_t>(f.frameBytes);

  status = config->SetFormat(mediaType);
  if (status != kOk) {
    qCWarning(lcCapture).noquote()
        << "camera" << DescribeDevice(device) << ": SetFormat" << f.width << "x" << f.height << "at"
        << rate << "fps failed:" << DescribeStatus(status);
  } else {
    qCDebug(lcCapture).noquote() << "camera" << DescribeDevice(device) << ": format" << f.width
                                 << "x" << f.height << "at" << rate << "fps";
  }
  return status;
}

}  // namespace kinovo
