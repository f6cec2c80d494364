#pragma once

#include <cstdint>
#include <vector>

#include "capture/capture_types.h"

namespace kinovo {

// The records of a camera's modes, in its order: frame rates from the
// intervals, bytes per frame, the pixel format. Modes whose rates cannot be
// computed are left out without using up an index.
std::vector<VideoFormat> FormatsOfModes(const std::vector<media::CameraMode>& modes);

// Fills `device.formats` from the modes of its opened camera.
Status EnumerateFormats(VideoDevice& device);

// The rate at which `format` is applied for a requested rate (0: its
// highest), kept within the format's rates; the lowest wins where they
// cross. 0 when the format has no usable rate.
std::int32_t RateFor(const VideoFormat& format, std::int32_t requested);

// Sets format `formatIndex` of `device.formats` on the opened camera at
// `frameRate` frames per second (0: the format's highest rate). 1 for no
// camera or an index out of range.
Status ApplyFormat(VideoDevice& device, std::int32_t formatIndex, std::int32_t frameRate);

}  // namespace kinovo
