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
// order; returns how many were listed. Cameras are listed, not opened.
std::int32_t EnumerateVideoDevices(std::vector<VideoDevice>& devices);
std::int32_t EnumerateAudioDevices(std::vector<AudioDevice>& devices);
// Follows the cameras: once it follows them, and after some came or went,
// `changed` gets them, listed (not opened) as EnumerateVideoDevices does,
// on the calling thread (which runs an event loop). None when they cannot
// be followed.
std::unique_ptr<media::DeviceWatch> WatchVideoDevices(
    std::function<void(std::vector<VideoDevice>)> changed);
// Follows the microphones: once it follows them, and after some came or
// went, `changed` gets them, listed as EnumerateAudioDevices does, on the
// calling thread (which runs an event loop). None when they cannot be
// followed.
std::unique_ptr<media::DeviceWatch> WatchAudioDevices(
    std::function<void(std::vector<AudioDevice>)> changed);

// The records of a listed camera and microphone.
VideoDevice MakeVideoDevice(const media::CameraInfo& info);
AudioDevice MakeAudioDevice(const media::MicrophoneInfo& info);

// A name cut to kMaxDeviceNameLength characters and "...".
QString ShortenDeviceName(const QString& name);

// The identifier of a device path: vendor, product and interface of a USB
// device path ("\usb#vid_..&pid_..&mi_..#..."), otherwise the whole path,
// in lower case.
QString MakeDeviceId(const QString& path);

// Whether an identifier names the device at `lowerPath` (a lower-cased
// path): it must stand in the path as a whole, so that "/dev/video1" does
// not name "/dev/video10". An empty identifier names every path.
bool DeviceIdMatchesPath(const QString& id, const QString& lowerPath);

// Whether two records are the same camera: the same card at the same place
// (bus), whatever node it has now.
bool SameCamera(const VideoDevice& a, const VideoDevice& b);

// Gives the cameras just listed (unopened records) the records `known`
// has of them at the same node, openings and all, moved out of `known`;
// returns for each listed camera the index of its record in `known`, -1
// for none. A camera that came back at another node keeps its new record,
// to be opened anew: the old opening is of a node that is gone.
std::vector<int> KeepCameraRecords(std::vector<VideoDevice>& listed,
                                   std::vector<VideoDevice>& known);

// Opens for `device` the first listed camera whose path the identifier
// names, and takes that camera's name and paths; 1 when none does, the
// failure of the last camera that matched but did not open.
Status BindVideoDeviceById(VideoDevice& device, const QString& id);

}  // namespace kinovo
