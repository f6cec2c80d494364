#pragma once

// Calls a function on the thread this object lives in, when Post() is
// called from any thread. It carries no data: the poster hands data over
// under its own lock or in atomics, and the function picks it up there.
// Posts made before the function ran are merged into one call.
//
// A queued QMetaObject::invokeMethod with a lambda would do the same, but
// Qt hands the lambda to the other thread under its own locks, which
// ThreadSanitizer cannot see: the lambda made on one thread and deleted on
// the other is reported as a race, and suppressing that would hide real
// races of the callers. Here Qt makes and deletes its own plain event, and
// the only state shared across threads is an atomic.

#include <QObject>
#include <atomic>
#include <functional>

namespace kinovo::media::stream {

class ThreadWakeUp final : public QObject {
 public:
  explicit ThreadWakeUp(std::function<void()> call) : call_(std::move(call)) {}

  // Any thread, while this object exists.
  void Post();

 protected:
  void customEvent(QEvent* event) override;

 private:
  std::function<void()> call_;
  std::atomic<bool> posted_{false};
};

}  // namespace kinovo::media::stream
