#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "capture/capture_types.h"

namespace kinovo {

// Longest friendly name kept whole; longer ones are cut and get "...".
inline constexpr int kMaxDeviceNameLength = 30;

// Empties `devices` and lists the cameras / microphones in the platform's
// order; returns how many were listed. Microphones come with their filter
// bound.
std::int32_t EnumerateVideoDevices(std::vector<VideoDevice>& devices);
std::int32_t EnumerateAudioDevices(std::vector<AudioDevice>& devices);
// Follows the microphones: once it follows them, and after some came or
// went, `changed` gets them, listed as EnumerateAudioDevices does, on the
// calling thread (which runs an event loop). None when the platform cannot
// follow them.
std::unique_ptr<media::DeviceWatch> WatchAudioDevices(
    std::function<void(std::vector<AudioDevice>)> changed);

// Reads a moniker's properties into a record and, with `bind`, binds its
// source filter.
Status ReadDeviceMoniker(VideoDevice& device, media::Moniker* moniker, bool bind);
Status ReadDeviceMoniker(AudioDevice& device, media::Moniker* moniker, bool bind);

// The identifier of a device path: vendor, product and interface of a USB
// device path ("\usb#vid_..&pid_..&mi_..#..."), otherwise the whole path,
// in lower case.
QString MakeDeviceId(const QString& path);

// Whether an identifier names the device at `lowerPath` (a lower-cased
// path): it must stand in the path as a whole, so that "/dev/video1" does
// not name "/dev/video10". An empty identifier names every path.
bool DeviceIdMatchesPath(const QString& id, const QString& lowerPath);

// Binds `device` to the source filter of the first listed camera whose path
// the identifier names; 1 when none does.
Status BindVideoDeviceById(VideoDevice& device, const QString& id);

// Picks `mainPin` and `extraCapturePin` among the filter's output pins.
Status FindDevicePins(VideoDevice& device);

}  // namespace kinovo
