#include "platform/media/devices.h"

#include <cstring>
#include <mutex>

#include "platform/media/linux/linux_platform.h"

namespace kinovo::media {
namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<Devices>& Installed() {
  static std::shared_ptr<Devices> devices;
  return devices;
}

}  // namespace

std::string StatusText(Status status) {
  if (status == kOk) return "success";
  if (status == kFalse) return "nothing to work on";
  if (Failed(status)) return std::strerror(-status);
  return "status " + std::to_string(status);
}

std::shared_ptr<Devices> CurrentDevices() {
  std::lock_guard lock(RegistryMutex());
  auto& devices = Installed();
  if (!devices) devices = CreateLinuxDevices();
  return devices;
}

std::shared_ptr<Devices> SetDevices(std::shared_ptr<Devices> devices) {
  std::lock_guard lock(RegistryMutex());
  auto previous = std::move(Installed());
  Installed() = std::move(devices);
  return previous;
}

}  // namespace kinovo::media
