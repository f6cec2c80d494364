#include "platform/media/linux/linux_platform.h"

#include <mutex>
#include <utility>
#include <vector>

#include "platform/media/linux/camera_watch.h"
#include "platform/media/linux/pulse_sources.h"
#include "platform/media/linux/v4l2_camera.h"
#include "platform/media/stream/thread_wake_up.h"

namespace kinovo::media {
namespace linux_backend {
namespace {

// How long listing the microphones may wait for the sound server.
constexpr std::chrono::milliseconds kPulseTimeout{2000};

std::vector<MicrophoneInfo> Microphones(const std::vector<PulseSource>& sources) {
  std::vector<MicrophoneInfo> microphones;
  microphones.reserve(sources.size());
  for (const PulseSource& source : sources) {
    microphones.push_back({source.name, source.description});
  }
  return microphones;
}

// The sound server's news, brought to the thread that watches.
class MicrophoneWatch final : public DeviceWatch {
 public:
  explicit MicrophoneWatch(std::function<void(std::vector<MicrophoneInfo>)> changed)
      : changed_(std::move(changed)),
        wakeUp_([this] { Deliver(); }),
        watch_(std::make_unique<PulseSourceWatch>([this](std::vector<PulseSource> sources) {
          {
            std::lock_guard lock(mutex_);
            sources_ = std::move(sources);
          }
          wakeUp_.Post();
        })) {}
  // The server's thread first, so that nothing posts to a wake-up that is gone.
  ~MicrophoneWatch() override { watch_.reset(); }

 private:
  void Deliver() {
    std::vector<MicrophoneInfo> microphones;
    {
      std::lock_guard lock(mutex_);
      microphones = Microphones(sources_);
    }
    changed_(std::move(microphones));
  }

  std::function<void(std::vector<MicrophoneInfo>)> changed_;
  std::mutex mutex_;
  std::vector<PulseSource> sources_;
  stream::ThreadWakeUp wakeUp_;
  std::unique_ptr<PulseSourceWatch> watch_;
};

class LinuxDevices final : public Devices {
 public:
  std::vector<CameraInfo> ListCameras() override { return ListCaptureNodes(); }
  std::error_code OpenCamera(const CameraInfo& camera, std::shared_ptr<Camera>& opened) override {
    return OpenV4l2Camera(camera, opened);
  }
  std::unique_ptr<DeviceWatch> WatchCameras(
      std::function<void(std::vector<CameraInfo>)> changed) override {
    return WatchCaptureNodes(std::move(changed), ListCaptureNodes);
  }
  std::vector<MicrophoneInfo> ListMicrophones() override {
    return Microphones(ListPulseSources(kPulseTimeout));
  }
  std::unique_ptr<DeviceWatch> WatchMicrophones(
      std::function<void(std::vector<MicrophoneInfo>)> changed) override {
    return std::make_unique<MicrophoneWatch>(std::move(changed));
  }
};

}  // namespace
}  // namespace linux_backend

std::shared_ptr<Devices> CreateLinuxDevices() {
  return std::make_shared<linux_backend::LinuxDevices>();
}

}  // namespace kinovo::media
