#pragma once

// Which other programs have a device open: what the kernel shows of every
// process under /proc. For telling the user who holds a busy camera.

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace kinovo::media::linux_backend {

// A process that has the file open.
struct DeviceHolder {
  int pid = 0;
  std::string name;  // its command name (/proc/<pid>/comm), at most 15 bytes

  bool operator==(const DeviceHolder&) const = default;
};

// The processes other than this one that have `path` open ("/dev/video0"),
// found through their /proc/<pid>/fd links, in order of pid: at most `limit`
// of them, and those found within `budget`. Processes whose descriptors
// cannot be read (another user's) are left out without a word.
//
// It reads a link of every descriptor of every process: a few milliseconds
// as a rule, but as slow as the system's process count makes it, so it is
// never called on the user-interface thread.
std::vector<DeviceHolder> FindDeviceHolders(
    const std::string& path, std::size_t limit = 4,
    std::chrono::milliseconds budget = std::chrono::milliseconds(500));

// "ffmpeg (pid 1234)", "ffmpeg (pid 1234), obs (pid 99)"; "another program"
// when none was found.
std::string DescribeHolders(const std::vector<DeviceHolder>& holders);

}  // namespace kinovo::media::linux_backend
