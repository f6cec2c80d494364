#include "platform/media/linux/camera_watch.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
#include <utility>

#include "platform/media/stream/thread_wake_up.h"

namespace kinovo::media::linux_backend {
namespace {

// Polls rather than listening to udev: cameras that exist only for the
// process (the tests' virtual ones) send no udev events, and one listing a
// second is cheap (a QUERYCAP per node).
class CameraWatch final : public DeviceWatch {
 public:
  CameraWatch(std::function<void(std::vector<CameraInfo>)> changed,
              std::function<std::vector<CameraInfo>()> list, std::chrono::milliseconds period)
      : changed_(std::move(changed)),
        list_(std::move(list)),
        period_(period),
        wakeUp_([this] { Deliver(); }),
        thread_([this](std::stop_token stop) { Run(stop); }) {}

  // The thread first, woken from its wait, so that nothing posts to a
  // wake-up that is gone.
  ~CameraWatch() override {
    thread_.request_stop();
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run(std::stop_token stop) {
    std::optional<std::vector<CameraInfo>> last;
    while (!stop.stop_requested()) {
      std::vector<CameraInfo> now = list_();
      if (!last || CameraListChanged(*last, now)) {
        last = now;
        {
          std::lock_guard lock(mutex_);
          pending_ = std::move(now);
        }
        wakeUp_.Post();
      }
      std::unique_lock lock(mutex_);
      wait_.wait_for(lock, stop, period_, [] { return false; });
    }
  }

  void Deliver() {
    std::optional<std::vector<CameraInfo>> cameras;
    {
      std::lock_guard lock(mutex_);
      cameras = std::exchange(pending_, std::nullopt);
    }
    if (cameras) changed_(std::move(*cameras));
  }

  std::function<void(std::vector<CameraInfo>)> changed_;
  std::function<std::vector<CameraInfo>()> list_;
  std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable_any wait_;
  std::optional<std::vector<CameraInfo>> pending_;  // the latest listing not yet delivered
  stream::ThreadWakeUp wakeUp_;
  std::jthread thread_;  // last: started once the rest is made
};

}  // namespace

bool CameraListChanged(const std::vector<CameraInfo>& before, const std::vector<CameraInfo>& now) {
  return !std::equal(before.begin(), before.end(), now.begin(), now.end(),
                     [](const CameraInfo& a, const CameraInfo& b) {
                       return a.node == b.node && a.card == b.card && a.busInfo == b.busInfo;
                     });
}

std::unique_ptr<DeviceWatch> WatchCaptureNodes(std::function<void(std::vector<CameraInfo>)> changed,
                                               std::function<std::vector<CameraInfo>()> list,
                                               std::chrono::milliseconds period) {
  return std::make_unique<CameraWatch>(std::move(changed), std::move(list), period);
}

}  // namespace kinovo::media::linux_backend
