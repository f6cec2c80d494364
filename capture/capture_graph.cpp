#include "capture/capture_graph.h"

#include "capture/device_discovery.h"
#include "capture/image_adjustments.h"
#include "capture/video_formats.h"

namespace kinovo {

Status OpenVideoDevice(VideoDevice& device) {
  if (device.opened) return media::kOk;
  if (!device.filter) BindVideoDeviceById(device, device.deviceId);
  if (!device.procAmp) {
    if (!device.filter) return media::kFalse;
    const Status status = device.filter->QueryVideoProcAmp(device.procAmp);
    if (media::Failed(status)) {
      device.procAmp.reset();
      return status;
    }
  }
  Status status = FindDevicePins(device);
  if (status != media::kOk) {
    device.procAmp.reset();
    return status;
  }
  status = EnumerateFormats(device);
  if (status != media::kOk) {
    device.procAmp.reset();
    return status;
  }
  media::CurrentPlatform()->Sleep(kOpenSettleTime);
  ReadImageProperties(device);
  device.opened = true;
  return media::kOk;
}

}  // namespace kinovo
