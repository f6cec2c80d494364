#pragma once

// The media part of the platform layer: device discovery, filters, pins,
// stream configuration and the video processing amplifier, as C++
// interfaces (streaming and recording: capture_session.h). The capture engine sees only these; the
// Linux back end (V4L2, PulseAudio) implements them, and tests put fakes in their place through
// SetPlatform().
//
// References are shared pointers: a record that keeps a filter, a pin or an
// interface keeps it alive; the same pin asked for twice is the same object,
// so pins are compared by pointer identity.
//
// All calls are made from one thread (the user-interface thread).

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include <QString>
#include <QStringView>

#include "platform/media/guid.h"
#include "platform/media/media_types.h"
#include "platform/media/status.h"

namespace kinovo::media {

class Filter;
class StreamConfig;
class VideoProcAmp;

enum class DeviceCategory { VideoInput, AudioInput };

enum class PinDirection { Input, Output };

// Property names of a device moniker's property bag.
inline constexpr QStringView kFriendlyName = u"FriendlyName";
inline constexpr QStringView kClsid = u"CLSID";
inline constexpr QStringView kDevicePath = u"DevicePath";

class PropertyBag {
 public:
  virtual ~PropertyBag() = default;
  // 0 and the text, or a failure (kPropertyUnsupported for an unknown name)
  // leaving `value` unchanged.
  virtual Status Read(QStringView name, QString& value) = 0;
};

class Moniker {
 public:
  virtual ~Moniker() = default;
  virtual Status BindToStorage(std::shared_ptr<PropertyBag>& bag) = 0;
  // Creates the device's source filter (opens the device).
  virtual Status BindToObject(std::shared_ptr<Filter>& filter) = 0;
};

class MonikerEnumerator {
 public:
  virtual ~MonikerEnumerator() = default;
  // 0 with the next moniker; 1 when there are no more.
  virtual Status Next(std::shared_ptr<Moniker>& moniker) = 0;
};

class DeviceEnumerator {
 public:
  virtual ~DeviceEnumerator() = default;
  // 0 with an enumerator over the category's devices in a stable order;
  // 1 (and no enumerator) when the category is empty; negative on failure.
  virtual Status CreateClassEnumerator(DeviceCategory category,
                                       std::unique_ptr<MonikerEnumerator>& enumerator) = 0;
};

class Pin {
 public:
  virtual ~Pin() = default;
  virtual Status QueryDirection(PinDirection& direction) = 0;
  // The pin's category (PIN_CATEGORY_CAPTURE, _PREVIEW, ...). kNoInterface,
  // with `category` untouched, when the pin has no category information.
  virtual Status QueryCategory(Guid& category) = 0;
  // The pin's stream configuration. A pin without one returns a
  // non-negative status and leaves `config` empty.
  virtual Status QueryStreamConfig(std::shared_ptr<StreamConfig>& config) = 0;
};

class PinEnumerator {
 public:
  virtual ~PinEnumerator() = default;
  // 0 with the next pin; 1 when there are no more.
  virtual Status Next(std::shared_ptr<Pin>& pin) = 0;
};

class Filter {
 public:
  virtual ~Filter() = default;
  virtual Status EnumPins(std::unique_ptr<PinEnumerator>& pins) = 0;
  // kNoInterface when the filter has no image controls.
  virtual Status QueryVideoProcAmp(std::shared_ptr<VideoProcAmp>& procAmp) = 0;
};

class StreamConfig {
 public:
  virtual ~StreamConfig() = default;
  // Number of capabilities and the size of one capability structure.
  virtual Status GetNumberOfCapabilities(std::int32_t& count, std::int32_t& size) = 0;
  virtual Status GetStreamCaps(std::int32_t index, MediaType& mediaType,
                               VideoStreamConfigCaps& caps) = 0;
  // The pin's current format.
  virtual Status GetFormat(MediaType& mediaType) = 0;
  // Sets the pin's format: picture size, pixel format and frame interval
  // (AvgTimePerFrame) of a video-info media type.
  virtual Status SetFormat(const MediaType& mediaType) = 0;
};

// Property numbers of the video processing amplifier.
namespace procamp {
inline constexpr std::int32_t kBrightness = 0;
inline constexpr std::int32_t kContrast = 1;
inline constexpr std::int32_t kHue = 2;
inline constexpr std::int32_t kSaturation = 3;
inline constexpr std::int32_t kSharpness = 4;
inline constexpr std::int32_t kGamma = 5;
inline constexpr std::int32_t kColorEnable = 6;
inline constexpr std::int32_t kWhiteBalance = 7;
inline constexpr std::int32_t kBacklightCompensation = 8;
inline constexpr std::int32_t kGain = 9;

inline constexpr std::int32_t kFlagsAuto = 1;
inline constexpr std::int32_t kFlagsManual = 2;
}  // namespace procamp

class VideoProcAmp {
 public:
  virtual ~VideoProcAmp() = default;
  // kPropertyUnsupported for a control the device does not have.
  virtual Status GetRange(std::int32_t property, std::int32_t& min, std::int32_t& max,
                          std::int32_t& step, std::int32_t& defaultValue,
                          std::int32_t& capsFlags) = 0;
  virtual Status Get(std::int32_t property, std::int32_t& value, std::int32_t& flags) = 0;
  // Manual: the control's automatic mode (where it has one) is switched off
  // before the value is written. Auto: the value is written and the
  // automatic mode switched on.
  virtual Status Set(std::int32_t property, std::int32_t value, std::int32_t flags) = 0;
};

// Follows the devices of a category for as long as it lives.
class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
};
// Called on the thread that started the watch with the devices as they are
// now: once it follows them, and after some came or went.
using DevicesChanged = std::function<void(std::unique_ptr<MonikerEnumerator>)>;

// The root of the layer.
class Platform {
 public:
  virtual ~Platform() = default;
  virtual Status CreateDeviceEnumerator(std::shared_ptr<DeviceEnumerator>& enumerator) = 0;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
  // The calling thread must run an event loop.
  virtual Status WatchDevices(DeviceCategory, DevicesChanged, std::unique_ptr<DeviceWatch>& watch) {
    watch.reset();
    return kNoInterface;
  }
};

// The platform in use: the Linux back end unless a test has put another
// one in its place.
std::shared_ptr<Platform> CurrentPlatform();

// Puts `platform` in place (empty: back to the Linux back end) and returns
// the one it replaces.
std::shared_ptr<Platform> SetPlatform(std::shared_ptr<Platform> platform);

// Puts a platform in place for the lifetime of the object.
class ScopedPlatform {
 public:
  explicit ScopedPlatform(std::shared_ptr<Platform> platform)
      : previous_(SetPlatform(std::move(platform))) {}
  ~ScopedPlatform() { SetPlatform(std::move(previous_)); }
  ScopedPlatform(const ScopedPlatform&) = delete;
  ScopedPlatform& operator=(const ScopedPlatform&) = delete;

 private:
  std::shared_ptr<Platform> previous_;
};

}  // namespace kinovo::media
