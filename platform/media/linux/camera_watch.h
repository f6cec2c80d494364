#pragma once

// Following the capture nodes as cameras are plugged in and out.

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

#include "platform/media/devices.h"

namespace kinovo::media::linux_backend {

// Whether `now` differs from `before` in its cameras' nodes, cards or buses,
// or in their order.
bool CameraListChanged(const std::vector<CameraInfo>& before, const std::vector<CameraInfo>& now);

// Lists the cameras with `list` on a thread of its own, at first and then
// every `period`; `changed` runs on the calling thread (which runs an event
// loop) with the first listing and with every one that changed.
std::unique_ptr<DeviceWatch> WatchCaptureNodes(
    std::function<void(std::vector<CameraInfo>)> changed,
    std::function<std::vector<CameraInfo>()> list,
    std::chrono::milliseconds period = std::chrono::seconds(1));

}  // namespace kinovo::media::linux_backend
