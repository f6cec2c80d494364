#include "platform/media/stream/thread_wake_up.h"

#include <QCoreApplication>
#include <QEvent>

namespace kinovo::media::stream {
namespace {

const QEvent::Type kWakeUp = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

void ThreadWakeUp::Post() {
  if (posted_.exchange(true)) return;
  QCoreApplication::postEvent(this, new QEvent(kWakeUp));
}

// The event itself is not looked at: it only says that Post() was called.
void ThreadWakeUp::customEvent(QEvent*) {
  // Cleared first, so that a Post() during the call brings another one.
  posted_ = false;
  call_();
}

}  // namespace kinovo::media::stream
