#pragma once

// Cameras and microphones in memory, in place of the Linux back end, for
// unit tests of the capture engine's own rules. Every call a camera gets
// is written to a shared log.

#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "platform/media/devices.h"

namespace kinovo::fake {

using namespace kinovo::media;

using CallLog = std::vector<std::string>;

inline std::error_code Errno(int error) { return {error, std::generic_category()}; }

struct FakeControl {
  std::error_code queryError{};
  std::error_code readError{};
  std::error_code writeError{};
  std::int32_t min = 0, max = 255, step = 1, defaultValue = 128, value = 128;
};

struct ControlWrite {
  CameraControl control;
  std::int32_t value;
  ControlMode mode;
};

struct ModeSet {
  std::uint32_t pixelFormat;
  std::int32_t width;
  std::int32_t height;
  std::int64_t interval;
};

class FakeCamera final : public Camera {
 public:
  FakeCamera(std::shared_ptr<CallLog> log, CameraInfo info)
      : log_(std::move(log)), info_(std::move(info)) {}

  std::vector<CameraMode> modes;
  std::error_code modesError;
  std::error_code setModeError;
  std::vector<ModeSet> modesSet;
  std::map<CameraControl, FakeControl> controls;  // a control not here is not supported
  std::vector<ControlWrite> writes;

  const CameraInfo& info() const override { return info_; }
  std::error_code ListModes(std::vector<CameraMode>& out) override {
    log_->push_back("ListModes " + info_.node);
    out = modesError ? std::vector<CameraMode>{} : modes;
    return modesError;
  }
  std::error_code SetMode(std::uint32_t pixelFormat, std::int32_t width, std::int32_t height,
                          std::int64_t interval) override {
    log_->push_back("SetMode " + info_.node);
    modesSet.push_back({pixelFormat, width, height, interval});
    return setModeError;
  }
  std::error_code QueryControl(CameraControl control, ControlRange& range) override {
    log_->push_back("QueryControl " + std::to_string(static_cast<int>(control)));
    const auto it = controls.find(control);
    if (it == controls.end()) return std::make_error_code(std::errc::not_supported);
    const FakeControl& c = it->second;
    if (!c.queryError) range = {c.min, c.max, c.step, c.defaultValue};
    return c.queryError;
  }
  std::error_code ReadControl(CameraControl control, std::int32_t& value) override {
    log_->push_back("ReadControl " + std::to_string(static_cast<int>(control)));
    const auto it = controls.find(control);
    if (it == controls.end()) return std::make_error_code(std::errc::not_supported);
    if (!it->second.readError) value = it->second.value;
    return it->second.readError;
  }
  std::error_code WriteControl(CameraControl control, std::int32_t value,
                               ControlMode mode) override {
    log_->push_back("WriteControl " + std::to_string(static_cast<int>(control)) + " " +
                    std::to_string(value));
    writes.push_back({control, value, mode});
    const auto it = controls.find(control);
    if (it == controls.end()) return std::make_error_code(std::errc::not_supported);
    if (!it->second.writeError) it->second.value = value;
    return it->second.writeError;
  }

 private:
  std::shared_ptr<CallLog> log_;
  CameraInfo info_;
};

class FakeDevices final : public Devices {
 public:
  struct Listed {
    CameraInfo info;
    std::shared_ptr<FakeCamera> camera;
    std::error_code openError;
    int opens = 0;
  };

  std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
  std::vector<std::shared_ptr<Listed>> cameras;
  std::vector<MicrophoneInfo> microphones;

  std::vector<CameraInfo> ListCameras() override {
    std::vector<CameraInfo> infos;
    for (const auto& c : cameras) infos.push_back(c->info);
    return infos;
  }
  std::error_code OpenCamera(const CameraInfo& info, std::shared_ptr<Camera>& opened) override {
    for (const auto& c : cameras) {
      if (c->info.node != info.node) continue;
      log->push_back("OpenCamera " + info.node);
      ++c->opens;
      if (c->openError) return c->openError;
      opened = c->camera;
      return {};
    }
    return Errno(ENOENT);
  }
  std::vector<MicrophoneInfo> ListMicrophones() override { return microphones; }

  // A camera at `node` whose stable path is `path` (the node itself when
  // empty).
  std::shared_ptr<Listed> AddCamera(const std::string& card, const std::string& node,
                                    const std::string& path = {}, const std::string& bus = {}) {
    auto listed = std::make_shared<Listed>();
    listed->info = {node, card, bus.empty() ? "usb-" + node : bus, path.empty() ? node : path};
    listed->camera = std::make_shared<FakeCamera>(log, listed->info);
    cameras.push_back(listed);
    return listed;
  }
};

// A mode as a camera offers it.
inline CameraMode Mode(std::uint32_t pixelFormat, std::int32_t width, std::int32_t height,
                       std::int64_t minInterval, std::int64_t maxInterval,
                       std::int64_t frameBytes) {
  return {pixelFormat, width, height, minInterval, maxInterval, frameBytes};
}

}  // namespace kinovo::fake
