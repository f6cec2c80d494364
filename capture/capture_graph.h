#pragma once

#include <chrono>

#include "capture/capture_types.h"

namespace kinovo {

// How long a freshly opened camera is given before its controls are read.
inline constexpr std::chrono::milliseconds kOpenSettleTime{200};

// Opens a listed camera: binds its filter, finds its pins, reads its
// formats and image controls.
Status OpenVideoDevice(VideoDevice& device);

}  // namespace kinovo
