#pragma once

// The virtual camera's log and unplug trigger, in the folder vcam_main set up.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kinovo::streamtest {

inline std::vector<std::string> VcamLog() {
  std::vector<std::string> lines;
  const char* path = std::getenv("KINOVO_VCAM_LOG");
  if (!path) return lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Unplugs /dev/video<n> for as long as it lives.
class Unplug {
 public:
  explicit Unplug(int node) {
    const char* dir = std::getenv("KINOVO_VCAM_CONTROL_DIR");
    trigger_ = std::filesystem::path(dir ? dir : "/nonexistent") / ("unplug-video" + std::to_string(node));
    std::ofstream(trigger_).put('\n');
  }
  ~Unplug() {
    std::error_code ec;
    std::filesystem::remove(trigger_, ec);
  }
  Unplug(const Unplug&) = delete;
  Unplug& operator=(const Unplug&) = delete;

 private:
  std::filesystem::path trigger_;
};

}  // namespace kinovo::streamtest
