#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace kinovo::media::linux_backend {

struct PulseSource {
  std::string name;         // the source's name, e.g. "alsa_input.usb-..."
  std::string description;  // its human-readable description
};

// The sound server's capture sources in its own order, monitors of outputs
// left out. No server reachable, or no answer within `timeout`: empty.
std::vector<PulseSource> ListPulseSources(std::chrono::milliseconds timeout);

}  // namespace kinovo::media::linux_backend
