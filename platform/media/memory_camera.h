#pragma once

// A camera whose image controls live in memory: for showing and testing
// the panels without a device. It has no modes and cannot stream; every
// control write is kept.

#include <map>
#include <system_error>
#include <vector>

#include "platform/media/devices.h"

namespace kinovo::media {

class MemoryCamera final : public Camera {
 public:
  struct Control {
    ControlRange range;
    std::int32_t value = 0;
  };
  struct Write {
    CameraControl control;
    std::int32_t value;
    ControlMode mode;
    friend bool operator==(const Write&, const Write&) = default;
  };

  explicit MemoryCamera(CameraInfo info) : info_(std::move(info)) {}

  void Add(CameraControl control, ControlRange range, std::int32_t value) {
    controls[control] = {range, value};
  }

  const CameraInfo& info() const override { return info_; }
  std::error_code ListModes(std::vector<CameraMode>& modes) override {
    modes.clear();
    return {};
  }
  std::error_code SetMode(std::uint32_t, std::int32_t, std::int32_t, std::int64_t) override {
    return std::make_error_code(std::errc::not_supported);
  }
  std::error_code QueryControl(CameraControl control, ControlRange& range) override {
    const auto it = controls.find(control);
    if (it == controls.end()) return std::make_error_code(std::errc::not_supported);
    range = it->second.range;
    return {};
  }
  std::error_code ReadControl(CameraControl control, std::int32_t& value) override {
    const auto it = controls.find(control);
    if (it == controls.end()) return std::make_error_code(std::errc::not_supported);
    value = it->second.value;
    return {};
  }
  std::error_code WriteControl(CameraControl control, std::int32_t value,
                               ControlMode mode) override {
    const auto it = controls.find(control);
    if (it == controls.end()) return std::make_error_code(std::errc::not_supported);
    writes.push_back({control, value, mode});
    it->second.value = value;
    return {};
  }

  std::map<CameraControl, Control> controls;
  std::vector<Write> writes;

 private:
  CameraInfo info_;
};

}  // namespace kinovo::media
