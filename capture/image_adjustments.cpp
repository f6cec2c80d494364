#include "capture/image_adjustments.h"

#include "capture/capture_log.h"

namespace kinovo {

using media::kOk;
using media::procamp::kFlagsAuto;
using media::procamp::kFlagsManual;

void ReadImageProperties(VideoDevice& device) {
  if (!device.procAmp) return;
  for (int slot = 0; slot < kImageSlotCount; ++slot) {
    ImageProperty& p = device.properties[static_cast<std::size_t>(slot)];
    const std::int32_t property = kSlotProperty[static_cast<std::size_t>(slot)];
    std::int32_t capsFlags = 0;
    const Status range =
        device.procAmp->GetRange(property, p.min, p.max, p.step, p.defaultValue, capsFlags);
    Status current = media::kFail;
    if (range == kOk) {
      std::int32_t flags = 0;
      current = device.procAmp->Get(property, p.value, flags);
    }
    p.valid = range == kOk && current == kOk;
  }
}

bool SetImageProperty(VideoDevice& device, ImageControl control, std::int32_t value) {
  const int c = static_cast<int>(control);
  if (c < 0 || c >= kImageControlCount) return false;
  const auto slot = static_cast<std::size_t>(SlotOfControl(control));
  ImageProperty& p = device.properties[slot];
  if (!device.procAmp || !p.valid) return false;

  std::int32_t v = value;
  // Snap toward zero onto the step grid; a step of 0 has no grid (and one
  // of ±1 leaves every value on it).
  if (p.step != 0 && p.step != 1 && p.step != -1) v = value - value % p.step;
  if (v < p.min) v = p.min;
  if (v > p.max) v = p.max;

  if (const Status status = device.procAmp->Set(kSlotProperty[slot], v, kFlagsManual);
      status != kOk) {
    qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device) << ": Set of control" << c
                                   << "to" << v << "failed:" << DescribeStatus(status);
    return false;
  }
  p.value = v;
  return true;
}

bool ResetImageProperties(VideoDevice& device) {
  if (!device.procAmp) return false;
  for (int slot = 0; slot < kImageSlotCount; ++slot) {
    ImageProperty& p = device.properties[static_cast<std::size_t>(slot)];
    if (!p.valid) continue;
    const Status status = device.procAmp->Set(kSlotProperty[static_cast<std::size_t>(slot)],
                                              p.defaultValue, kFlagsAuto);
    if (status != kOk) {
      qCWarning(lcCapture).noquote() << "camera" << DescribeDevice(device) << ": reset of slot"
                                     << slot << "failed:" << DescribeStatus(status);
    }
    p.value = p.defaultValue;
  }
  return true;
}

}  // namespace kinovo
