#pragma once

#include <vector>

#include "capture/capture_types.h"

namespace kinovo::probe {

// The listed camera named by a position in the list or a device path, or -1.
int FindCamera(const std::vector<VideoDevice>& cameras, const char* text);

inline constexpr int kUsage = 2;

// kinovo-probe record ...: opens the camera, applies the format, previews
// into a window and records for the given time through the capture graph,
// then prints what the graph counted. 0 when the recording was made.
int Record(int argc, char** argv);

}  // namespace kinovo::probe
