#pragma once

// The machine's cameras and microphones as the capture engine sees them:
// V4L2 capture nodes with their modes and image controls, and the sound
// server's capture sources. The Linux back end implements them; unit tests
// of the engine put fakes in their place through SetDevices().
//
// Listing and opening happen on the user-interface thread; an opened
// camera's calls are quick ioctls.

#include <cerrno>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/media/linux/unique_fd.h"

namespace kinovo::media {

// An engine status: 0 success, 1 nothing to work on, negative the failed
// call's errno, negated as the kernel returns it.
using Status = std::int32_t;
inline constexpr Status kOk = 0;
inline constexpr Status kFalse = 1;

constexpr Status StatusFromErrno(int error) { return error > 0 ? -error : -EIO; }
constexpr bool Failed(Status status) { return status < 0; }
// The errno of a failure; 0 for success and 1.
constexpr int ErrnoFromStatus(Status status) { return status < 0 ? -status : 0; }
// An error of the stream library (errno, FFmpeg, PulseAudio, the file
// writer's own) as a status; its words stay with the error.
Status StatusFromError(const std::error_code& error);
// The reason of a status in words: the system's text for a failure
// ("Device or resource busy").
std::string StatusText(Status status);

// One second in the 100 ns units of frame intervals.
inline constexpr std::int64_t kUnitsPerSecond = 10000000;

// A V4L2 capture node, as listed.
struct CameraInfo {
  std::string node;     // "/dev/videoN"
  std::string card;     // the driver's card name
  std::string busInfo;  // where it is plugged in: with the card, the same camera when it comes back
  std::string stablePath;  // its /dev/v4l/by-id link, else its by-path link, else the node
};

// A capture source of the sound server.
struct MicrophoneInfo {
  std::string name;         // e.g. "alsa_input.usb-..."
  std::string description;  // its human-readable name
};

// One picture size of one pixel format, with the camera's frame intervals
// for it.
struct CameraMode {
  std::uint32_t pixelFormat = 0;  // V4L2 FourCC
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::int64_t minInterval = 0;  // 100 ns units: the highest rate
  std::int64_t maxInterval = 0;  // the lowest rate
  std::int64_t frameBytes = 0;   // by the format's arithmetic, or the driver's buffer size
};

// The image controls the engine knows.
enum class CameraControl {
  Brightness,
  Contrast,
  Hue,
  Saturation,
  Sharpness,
  Gamma,
  ColorEnable,  // 1 colour, 0 black and white
  WhiteBalance,
  BacklightCompensation,
  Gain,
};

struct ControlRange {
  std::int32_t min = 0;
  std::int32_t max = 0;
  std::int32_t step = 0;
  std::int32_t defaultValue = 0;
};

// Manual switches the control's automatic mode (where it has one) off
// before the value is written; Automatic writes the value as the one to
// return to and switches the automatic mode on.
enum class ControlMode { Manual, Automatic };

// An opened camera. It is opened once: its stream runs on a duplicate of
// the same opening.
class Camera {
 public:
  virtual ~Camera() = default;
  virtual const CameraInfo& info() const = 0;
  // Its modes in the driver's order: pixel formats, then sizes.
  virtual std::error_code ListModes(std::vector<CameraMode>& modes) = 0;
  // Sets the pixel format, the size and the frame interval (0 keeps the
  // rate). A mode the driver would adjust is refused (EINVAL) and the
  // camera left as it was.
  virtual std::error_code SetMode(std::uint32_t pixelFormat, std::int32_t width,
                                  std::int32_t height, std::int64_t interval) = 0;
  // not_supported for a control the camera does not have.
  virtual std::error_code QueryControl(CameraControl control, ControlRange& range) = 0;
  virtual std::error_code ReadControl(CameraControl control, std::int32_t& value) = 0;
  virtual std::error_code WriteControl(CameraControl control, std::int32_t value,
                                       ControlMode mode) = 0;
  // A handle onto this opening for streaming; none for a camera that
  // cannot stream.
  virtual linux_backend::UniqueFd StreamHandle() const { return {}; }
  // Gives the device back (its stream failed or it is gone). The next call
  // opens it again if the same camera is at its node by then.
  virtual void Release() {}
};

// Follows the devices for as long as it lives.
class DeviceWatch {
 public:
  virtual ~DeviceWatch() = default;
};

class Devices {
 public:
  virtual ~Devices() = default;
  // In a stable order: cameras by node number, microphones in the sound
  // server's order.
  virtual std::vector<CameraInfo> ListCameras() = 0;
  virtual std::error_code OpenCamera(const CameraInfo& camera, std::shared_ptr<Camera>& opened) = 0;
  // `changed` runs on the calling thread (which runs an event loop) with
  // the cameras as they are, listed as ListCameras() does: once they are
  // followed, and after some came or went. None when they cannot be
  // followed.
  virtual std::unique_ptr<DeviceWatch> WatchCameras(
      std::function<void(std::vector<CameraInfo>)> changed) {
    (void)changed;
    return nullptr;
  }
  virtual std::vector<MicrophoneInfo> ListMicrophones() = 0;
  // `changed` runs on the calling thread (which runs an event loop) with
  // the microphones as they are: once they are followed, and after some
  // came or went. None when they cannot be followed.
  virtual std::unique_ptr<DeviceWatch> WatchMicrophones(
      std::function<void(std::vector<MicrophoneInfo>)> changed) {
    (void)changed;
    return nullptr;
  }
};

// The devices in use: the Linux back end unless a test has put others in
// their place.
std::shared_ptr<Devices> CurrentDevices();
// Puts `devices` in place (empty: back to the Linux back end) and returns
// the ones they replace.
std::shared_ptr<Devices> SetDevices(std::shared_ptr<Devices> devices);

class ScopedDevices {
 public:
  explicit ScopedDevices(std::shared_ptr<Devices> devices)
      : previous_(SetDevices(std::move(devices))) {}
  ~ScopedDevices() { SetDevices(std::move(previous_)); }
  ScopedDevices(const ScopedDevices&) = delete;
  ScopedDevices& operator=(const ScopedDevices&) = delete;

 private:
  std::shared_ptr<Devices> previous_;
};

}  // namespace kinovo::media
