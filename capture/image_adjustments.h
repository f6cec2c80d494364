#pragma once

#include <cstdint>

#include "capture/capture_types.h"

namespace kinovo {

// Reads range, default and current value of all ten image controls.
void ReadImageProperties(VideoDevice& device);

// Sets one of the six settable controls (manual mode), snapped to its step
// and clamped to its range; true when the camera took the value.
bool SetImageProperty(VideoDevice& device, ImageControl control, std::int32_t value);

// Puts every readable control back to its default in automatic mode; false
// only for a device without image controls.
bool ResetImageProperties(VideoDevice& device);

}  // namespace kinovo
