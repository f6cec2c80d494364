#include "tools/probe/probe_json.h"

#include <array>

#include "platform/media/stream/pixel_formats.h"

namespace kinovo::probe {
namespace {

// The "clsid" of the probe's output names the kind of source, as it always
// has, so that scripts that read it go on working.
const QString kCameraSourceClass = QStringLiteral("{042D3A78-5CAC-4C68-AEE5-F5337603856E}");
const QString kMicrophoneSourceClass = QStringLiteral("{D10072D1-2711-412F-85B6-0007A8C52508}");

}  // namespace

QString SlotName(ImageSlot slot) {
  static constexpr std::array<const char*, kImageSlotCount> kNames{
      "Brightness", "Contrast", "Hue",  "Saturation",            "Sharpness",
      "Gamma",      "WhiteBalance", "Gain", "BacklightCompensation", "ColorEnable"};
  return QString::fromLatin1(kNames[static_cast<std::size_t>(slot)]);
}

QJsonObject FormatToJson(const VideoFormat& format) {
  return QJsonObject{
      {"index", format.index},
      {"width", format.width},
      {"height", format.height},
      {"minFps", format.minFps},
      {"maxFps", format.maxFps},
      {"frameBytes", format.frameBytes},
      {"subtype", QString::fromStdString(media::stream::PixelFormatName(format.subtype))},
  };
}

QJsonObject PropertyToJson(ImageSlot slot, const ImageProperty& property) {
  return QJsonObject{
      {"slot", static_cast<int>(slot)},
      {"control", SlotName(slot)},
      {"valid", property.valid},
      {"min", property.min},
      {"max", property.max},
      {"step", property.step},
      {"defaultValue", property.defaultValue},
      {"value", property.value},
  };
}

QJsonArray PropertiesToJson(const VideoDevice& device) {
  QJsonArray properties;
  for (int i = 0; i < kImageSlotCount; ++i) {
    const auto slot = static_cast<ImageSlot>(i);
    properties.append(PropertyToJson(slot, device.property(slot)));
  }
  return properties;
}

QJsonObject CameraToJson(const VideoDevice& device, Status openStatus) {
  QJsonArray formats;
  for (const VideoFormat& format : device.formats) formats.append(FormatToJson(format));
  QJsonObject camera{
      {"name", device.name},
      {"clsid", kCameraSourceClass},
      {"devicePath", device.devicePath},
      {"deviceId", device.deviceId},
      {"openStatus", openStatus},
      {"formats", formats},
      {"properties", PropertiesToJson(device)},
  };
  if (openStatus != 0) camera.insert("openReason", QString::fromStdString(media::StatusText(openStatus)));
  return camera;
}

QJsonObject MicrophoneToJson(const AudioDevice& device) {
  return QJsonObject{
      {"name", device.name},
      {"clsid", kMicrophoneSourceClass},
      {"devicePath", device.devicePath},
      {"deviceId", device.deviceId},
  };
}

}  // namespace kinovo::probe
