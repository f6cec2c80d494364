#include "capture/image_adjustments.h"

#include "capture/capture_log.h"

namespace kinovo {

using media::ControlMode;

void ReadImageProperties(VideoDevice& device) {
  if (!device.camera) return;
  for (int slot = 0; slot < kImageSlotCount; ++slot) {
    ImageProperty& p = device.properties[static_cast<std::size_t>(slot)];
    const media::CameraControl control = kSlotControl[static_cast<std::size_t>(slot)];
    media::ControlRange range;
    const std::error_code error = device.camera->QueryControl(control, range);
    if (!error) {
      p.min = range.min;
      p.max = range.max;
      p.step = range.step;
      p.defaultValue = range.defaultValue;
    }
    p.valid = !error && !device.camera->ReadControl(control, p.value);
  }
}

bool SetImageProperty(VideoDevice& device, ImageControl control, std::int32_t value) {
  const int c = static_cast<int>(control);
  if (c < 0 || c >= kImageControlCount) return false;
  const auto slot = static_cast<std::size_t>(SlotOfControl(control));
  ImageProperty& p = device.properties[slot];
  if (!device.camera || !p.valid) return false;

  std::int32_t v = value;
  // Snap toward zero onto the step grid; a step of 0 has no grid (and one
  // of ±1 leaves every value on it).
  if (p.step != 0 && p.step != 1 && p.step != -1) v = value - value % p.step;
  if (v < p.min) v = p.min;
  if (v > p.max) v = p.max;

  if (const std::error_code error =
          device.camera->WriteControl(kSlotControl[slot], v, ControlMode::Manual)) {
    qCWarning(lcCapture).noquote()
        << "camera" << DescribeDevice(device) << ": VIDIOC_S_CTRL of control" << c << "to" << v
        << "failed:" << QString::fromStdString(error.message());
    return false;
  }
  p.value = v;
  return true;
}

bool ResetImageProperties(VideoDevice& device) {
  if (!device.camera) return false;
  for (int slot = 0; slot < kImageSlotCount; ++slot) {
    ImageProperty& p = device.properties[static_cast<std::size_t>(slot)];
    if (!p.valid) continue;
    if (const std::error_code error = device.camera->WriteControl(
            kSlotControl[static_cast<std::size_t>(slot)], p.defaultValue, ControlMode::Automatic)) {
      qCWarning(lcCapture).noquote()
          << "camera" << DescribeDevice(device) << ": reset of slot" << slot
          << "failed:" << QString::fromStdString(error.message());
    }
    p.value = p.defaultValue;
  }
  return true;
}

}  // namespace kinovo
