#include "platform/media/linux/device_holders.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "platform/media/linux/unique_fd.h"
#include "platform/media/stream/media_log.h"

namespace kinovo::media::linux_backend {
namespace {

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// The pid a /proc entry stands for; 0 for the entries that are no process.
int PidOf(const char* name) {
  const char* end = name + std::strlen(name);
  int pid = 0;
  const auto [rest, error] = std::from_chars(name, end, pid);
  return error == std::errc() && rest == end && pid > 0 ? pid : 0;
}

// Whether one of the process's descriptors links to `path`. A process whose
// descriptors cannot be listed (another user's, or one that has ended) has
// none that we can see.
bool HasOpen(const std::string& process, const std::string& path) {
  const UniqueDir fds(::opendir((process + "/fd").c_str()));
  if (!fds) return false;
  char link[PATH_MAX];
  while (const dirent* entry = ::readdir(fds.get())) {
    if (entry->d_name[0] == '.') continue;
    const ssize_t n = ::readlinkat(::dirfd(fds.get()), entry->d_name, link, sizeof link);
    if (n >= 0 && static_cast<std::size_t>(n) == path.size() &&
        n < static_cast<ssize_t>(sizeof link) && std::memcmp(link, path.data(), path.size()) == 0) {
      return true;
    }
  }
  return false;
}

// The command name of the process; empty once it has ended.
std::string CommandName(const std::string& process) {
  const UniqueFd comm(::open((process + "/comm").c_str(), O_RDONLY | O_CLOEXEC));
  if (!comm) return {};
  char text[64];
  ssize_t n;
  do n = ::read(comm.get(), text, sizeof text);
  while (n < 0 && errno == EINTR);
  if (n <= 0) return {};
  std::string name(text, static_cast<std::size_t>(n));
  while (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

}  // namespace

std::vector<DeviceHolder> FindDeviceHolders(const std::string& path, std::size_t limit,
                                            std::chrono::milliseconds budget) {
  std::vector<DeviceHolder> holders;
  const UniqueDir proc(::opendir("/proc"));
  if (!proc) {
    qCWarning(lcMedia) << "/proc : opendir failed:" << std::strerror(errno);
    return holders;
  }
  const auto deadline = std::chrono::steady_clock::now() + budget;
  const int self = static_cast<int>(::getpid());
  while (holders.size() < limit && std::chrono::steady_clock::now() < deadline) {
    const dirent* entry = ::readdir(proc.get());
    if (!entry) break;
    const int pid = PidOf(entry->d_name);
    if (pid == 0 || pid == self) continue;
    const std::string process = "/proc/" + std::string(entry->d_name);
    if (!HasOpen(process, path)) continue;
    if (std::string name = CommandName(process); !name.empty()) {
      holders.push_back({pid, std::move(name)});
    }
  }
  std::ranges::sort(holders, {}, &DeviceHolder::pid);
  return holders;
}

std::string DescribeHolders(const std::vector<DeviceHolder>& holders) {
  if (holders.empty()) return "another program";
  std::string text;
  for (const DeviceHolder& holder : holders) {
    if (!text.empty()) text += ", ";
    text += holder.name + " (pid " + std::to_string(holder.pid) + ")";
  }
  return text;
}

}  // namespace kinovo::media::linux_backend
