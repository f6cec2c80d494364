#pragma once

#include <cstdint>

#include "capture/capture_types.h"

namespace kinovo {

// Fills `device.formats` from the stream capabilities of its main pin.
Status EnumerateFormats(VideoDevice& device);

// Sets format `formatIndex` of `device.formats` on `pin` at `frameRate`
// frames per second (0: the format's highest rate).
Status ApplyFormat(std::int32_t formatIndex, media::Pin* pin, VideoDevice& device,
                   std::int32_t frameRate);

}  // namespace kinovo
