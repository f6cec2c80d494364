#pragma once

// The capture engine's records of cameras, microphones, camera formats and
// image controls.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include <QString>

#include "platform/media/devices.h"

namespace kinovo {

// Engine status: 0 success, 1 nothing to work on, negative a platform
// failure passed on unchanged.
using Status = media::Status;

// The ten image-property slots of a camera, in slot order.
enum class ImageSlot : int {
  Brightness = 0,
  Contrast = 1,
  Hue = 2,
  Saturation = 3,
  Sharpness = 4,
  Gamma = 5,
  WhiteBalance = 6,
  Gain = 7,
  BacklightCompensation = 8,
  ColorEnable = 9,
};
inline constexpr int kImageSlotCount = 10;

// The camera control of each slot.
inline constexpr std::array<media::CameraControl, kImageSlotCount> kSlotControl{
    media::CameraControl::Brightness,
    media::CameraControl::Contrast,
    media::CameraControl::Hue,
    media::CameraControl::Saturation,
    media::CameraControl::Sharpness,
    media::CameraControl::Gamma,
    media::CameraControl::WhiteBalance,
    media::CameraControl::Gain,
    media::CameraControl::BacklightCompensation,
    media::CameraControl::ColorEnable,
};

// The six controls that can be set one by one, in the order the
// image-settings panel lists them.
enum class ImageControl : int {
  Brightness = 0,
  Contrast = 1,
  Saturation = 2,
  Sharpness = 3,
  Gamma = 4,
  WhiteBalance = 5,
};
inline constexpr int kImageControlCount = 6;

constexpr ImageSlot SlotOfControl(ImageControl control) {
  constexpr std::array<ImageSlot, kImageControlCount> kSlots{
      ImageSlot::Brightness, ImageSlot::Contrast, ImageSlot::Saturation,
      ImageSlot::Sharpness,  ImageSlot::Gamma,    ImageSlot::WhiteBalance};
  return kSlots[static_cast<std::size_t>(control)];
}

struct ImageProperty {
  bool valid = false;
  std::int32_t min = 0;
  std::int32_t max = 0;
  std::int32_t step = 0;
  std::int32_t defaultValue = 0;
  std::int32_t value = 0;
};

struct VideoFormat {
  std::int32_t index = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int32_t minFps = 0;
  std::int32_t maxFps = 0;
  std::int32_t frameBytes = 0;
  std::uint32_t subtype = 0;  // the V4L2 pixel format
};

struct VideoDevice {
  QString name;                           // the card name, shortened
  QString devicePath;                     // its stable path (/dev/v4l/by-id/...), else its node
  QString deviceId;                       // made from devicePath by MakeDeviceId
  QString node;                           // /dev/videoN when listed
  QString busInfo;                        // with the card name, the same camera when it comes back
  std::shared_ptr<media::Camera> camera;  // set while opened
  bool opened = false;
  std::int32_t formatIndex = 0;
  std::int32_t frameRate = 25;
  std::array<ImageProperty, kImageSlotCount> properties{};
  std::vector<VideoFormat> formats;

  ImageProperty& property(ImageSlot slot) { return properties[static_cast<std::size_t>(slot)]; }
  const ImageProperty& property(ImageSlot slot) const {
    return properties[static_cast<std::size_t>(slot)];
  }
};

struct AudioDevice {
  QString name;        // the source's description, shortened
  QString devicePath;  // the sound server's name of the source
  QString deviceId;
};

}  // namespace kinovo
