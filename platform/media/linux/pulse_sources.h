#pragma once

#include <chrono>
#include <functional>
#include <memory>
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

// Follows the sound server's capture sources: once connected, and again
// after a source came or went, lists them and hands the list to `changed`
// on the client's own thread. Never waits for the server; without one it follows nothing
// (and says so in the log).
class PulseSourceWatch {
 public:
  explicit PulseSourceWatch(std::function<void(std::vector<PulseSource>)> changed);
  ~PulseSourceWatch();  // no call of `changed` runs or comes after it
  PulseSourceWatch(const PulseSourceWatch&) = delete;
  PulseSourceWatch& operator=(const PulseSourceWatch&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kinovo::media::linux_backend
