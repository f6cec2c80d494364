#include <mutex>

#include "platform/media/linux/linux_platform.h"
#include "platform/media/media.h"

namespace kinovo::media {
namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<Platform>& Installed() {
  static std::shared_ptr<Platform> platform;
  return platform;
}

}  // namespace

std::shared_ptr<Platform> CurrentPlatform() {
  std::lock_guard lock(RegistryMutex());
  auto& platform = Installed();
  if (!platform) platform = CreateLinuxPlatform();
  return platform;
}

std::shared_ptr<Platform> SetPlatform(std::shared_ptr<Platform> platform) {
  std::lock_guard lock(RegistryMutex());
  auto previous = std::move(Installed());
  Installed() = std::move(platform);
  return previous;
}

}  // namespace kinovo::media
