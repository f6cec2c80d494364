#pragma once

// Consumers of a stream register a callback and get a Connection; the
// stream's thread calls every callback for every sample. Callbacks must not
// block (queue the sample, or keep the latest one, and return) and must not
// connect or disconnect sinks of the same stream themselves.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace kinovo::media::stream {

// Keeps one callback connected for as long as it lives. Once Disconnect()
// (or the destructor) returns, the callback is not running and will not be
// called again. It may outlive the stream it was connected to.
class Connection {
 public:
  Connection() = default;
  explicit Connection(std::function<void()> disconnect) : disconnect_(std::move(disconnect)) {}
  ~Connection() { Disconnect(); }
  Connection(Connection&& other) noexcept : disconnect_(std::exchange(other.disconnect_, {})) {}
  Connection& operator=(Connection&& other) noexcept {
    if (this != &other) {
      Disconnect();
      disconnect_ = std::exchange(other.disconnect_, {});
    }
    return *this;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Disconnect() {
    if (auto disconnect = std::exchange(disconnect_, {})) disconnect();
  }
  bool connected() const { return static_cast<bool>(disconnect_); }

 private:
  std::function<void()> disconnect_;
};

template <typename Sample>
class SinkList : public std::enable_shared_from_this<SinkList<Sample>> {
 public:
  using Callback = std::function<void(const Sample&)>;

  static std::shared_ptr<SinkList> Create() { return std::shared_ptr<SinkList>(new SinkList); }

  [[nodiscard]] Connection Add(Callback callback) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = ++lastId_;
    sinks_.emplace_back(id, std::move(callback));
    std::weak_ptr<SinkList> self = this->weak_from_this();
    return Connection([self, id] {
      if (auto list = self.lock()) list->Remove(id);
    });
  }

  // Delivery holds the list's lock, so a Disconnect() waits for a callback
  // that is running; callbacks are short, so the wait is too.
  void Deliver(const Sample& sample) {
    std::lock_guard lock(mutex_);
    for (auto& [id, callback] : sinks_) callback(sample);
  }

  std::size_t size() const {
    std::lock_guard lock(mutex_);
    return sinks_.size();
  }

 private:
  SinkList() = default;
  void Remove(std::uint64_t id) {
    Callback removed;  // destroyed after the lock is released
    std::lock_guard lock(mutex_);
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (it->first == id) {
        removed = std::move(it->second);
        sinks_.erase(it);
        break;
      }
    }
  }

  mutable std::mutex mutex_;
  std::uint64_t lastId_ = 0;
  std::vector<std::pair<std::uint64_t, Callback>> sinks_;
};

}  // namespace kinovo::media::stream
