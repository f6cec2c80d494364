#pragma once

#include <memory>

#include "platform/media/devices.h"

namespace kinovo::media {

// The Linux back end: cameras through V4L2, microphones through PulseAudio
// (which PipeWire desktops serve as well).
std::shared_ptr<Devices> CreateLinuxDevices();

}  // namespace kinovo::media
