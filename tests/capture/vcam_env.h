#pragma once

// Helpers for tests that run on the virtual camera: its event log and its
// unplug triggers live in a private directory that main() sets up.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kinovo::vcamtest {

inline std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

inline std::filesystem::path LogPath() { return EnvOrEmpty("KINOVO_VCAM_LOG"); }
inline std::filesystem::path ControlDir() { return EnvOrEmpty("KINOVO_VCAM_CONTROL_DIR"); }

inline void ClearLog() { std::ofstream(LogPath(), std::ios::trunc); }

inline std::vector<std::string> LogLines() {
  std::vector<std::string> lines;
  std::ifstream in(LogPath());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The lines that start with `prefix` (e.g. "video0 s_ctrl").
inline std::vector<std::string> LogLinesStartingWith(const std::string& prefix) {
  std::vector<std::string> lines;
  for (auto& line : LogLines()) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

// Unplugs /dev/video<n> for as long as it lives.
class Unplug {
 public:
  explicit Unplug(int node)
      : trigger_(ControlDir() / ("unplug-video" + std::to_string(node))) {
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

}  // namespace kinovo::vcamtest
