#pragma once

// V4L2 cameras: listing the capture nodes and opening one as a Camera whose
// modes, format and image controls are ioctls on its one opening.

#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/media/devices.h"

namespace kinovo::media::linux_backend {

// The capture nodes /dev/video0 ... /dev/video255 that open, in numeric
// order. Metadata, output and memory-to-memory nodes are left out.
std::vector<CameraInfo> ListCaptureNodes();

// The /dev/v4l/by-id link to `node` when there is one, else the
// /dev/v4l/by-path link, else `node` itself.
std::string StableDevicePath(const std::string& node);

// Opens the camera's node. One that no longer opens, or that is not a
// capture node any more, is an error.
std::error_code OpenV4l2Camera(const CameraInfo& camera, std::shared_ptr<Camera>& opened);

}  // namespace kinovo::media::linux_backend
