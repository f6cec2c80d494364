#include "platform/media/linux/pulse_sources.h"

#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <memory>
#include <utility>

#include "platform/media/stream/media_log.h"

namespace kinovo::media::linux_backend {
namespace {

struct MainloopDeleter {
  void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextDeleter {
  void operator()(pa_context* c) const {
    pa_context_disconnect(c);
    pa_context_unref(c);
  }
};
struct OperationDeleter {
  void operator()(pa_operation* o) const {
    if (pa_operation_get_state(o) == PA_OPERATION_RUNNING) pa_operation_cancel(o);
    pa_operation_unref(o);
  }
};

using Clock = std::chrono::steady_clock;

struct Listing {
  std::vector<PulseSource> sources;
  bool done = false;
};

void OnSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* listing = static_cast<Listing*>(userdata);
  if (eol != 0) {
    listing->done = true;
    return;
  }
  if (!info || info->monitor_of_sink != PA_INVALID_INDEX) return;
  listing->sources.push_back(
      {info->name ? info->name : "", info->description ? info->description : ""});
}

// Runs one pass of the loop, waiting at most until `deadline`; false when
// the time is up or the loop failed.
bool Iterate(pa_mainloop* loop, Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
  if (left.count() <= 0) return false;
  if (pa_mainloop_prepare(loop, static_cast<int>(left.count())) < 0) return false;
  if (pa_mainloop_poll(loop) < 0) return false;
  return pa_mainloop_dispatch(loop) >= 0;
}

}  // namespace

// The client objects live on the threaded loop; every callback runs there.
struct PulseSourceWatch::Impl {
  std::function<void(std::vector<PulseSource>)> changed;
  pa_threaded_mainloop* loop = nullptr;
  pa_context* context = nullptr;
  std::vector<PulseSource> listing;  // being gathered
  bool listingNow = false;           // one listing at a time
  bool listAgain = false;            // something changed meanwhile

  void Fail(const char* call) {
    qCWarning(lcMedia).nospace() << "microphone list: " << call
                                 << " failed: " << pa_strerror(pa_context_errno(context))
                                 << "; microphones that come or go are not followed";
  }
  void Relist() {
    if (listingNow) {
      listAgain = true;
      return;
    }
    listing.clear();
    listAgain = false;
    listingNow = true;
    if (pa_operation* op = pa_context_get_source_info_list(context, &Impl::OnSource, this)) {
      pa_operation_unref(op);
    } else {
      listingNow = false;
      Fail("pa_context_get_source_info_list");
    }
  }
  static void OnState(pa_context* c, void* self) {
    auto* d = static_cast<Impl*>(self);
    const pa_context_state_t state = pa_context_get_state(c);
    if (state == PA_CONTEXT_READY) {
      pa_context_set_subscribe_callback(c, &Impl::OnEvent, d);
      if (pa_operation* op =
              pa_context_subscribe(c, PA_SUBSCRIPTION_MASK_SOURCE, nullptr, nullptr)) {
        pa_operation_unref(op);
      } else {
        d->Fail("pa_context_subscribe");
      }
      // What came between the first listing and the subscription.
      d->Relist();
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
      d->Fail("pa_context_get_state");
    }
  }
  static void OnEvent(pa_context*, pa_subscription_event_type_t type, std::uint32_t, void* self) {
    const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
    if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) != PA_SUBSCRIPTION_EVENT_SOURCE ||
        kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
      return;  // a volume or state change: the list stays
    }
    static_cast<Impl*>(self)->Relist();
  }
  static void OnSource(pa_context*, const pa_source_info* info, int eol, void* self) {
    auto* d = static_cast<Impl*>(self);
    if (eol == 0) {
      if (info && info->monitor_of_sink == PA_INVALID_INDEX) {
        d->listing.push_back(
            {info->name ? info->name : "", info->description ? info->description : ""});
      }
      return;
    }
    d->listingNow = false;
    if (d->listAgain) {
      d->Relist();
    } else if (eol > 0) {
      d->changed(std::exchange(d->listing, {}));
    } else {
      d->Fail("pa_context_get_source_info_list");
    }
  }
};

PulseSourceWatch::PulseSourceWatch(std::function<void(std::vector<PulseSource>)> changed)
    : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.changed = std::move(changed);
  d.loop = pa_threaded_mainloop_new();
  if (!d.loop) return;
  d.context = pa_context_new(pa_threaded_mainloop_get_api(d.loop), "Kinovo");
  if (!d.context) return;
  pa_context_set_state_callback(d.context, &Impl::OnState, &d);
  // Never start a server of our own; the connection completes on the loop.
  if (pa_context_connect(d.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    d.Fail("pa_context_connect");
    return;
  }
  if (pa_threaded_mainloop_start(d.loop) < 0)
    qCWarning(lcMedia) << "microphone list: pa_threaded_mainloop_start failed";
}

PulseSourceWatch::~PulseSourceWatch() {
  Impl& d = *impl_;
  if (!d.loop) return;
  pa_threaded_mainloop_lock(d.loop);
  if (d.context) {
    pa_context_set_state_callback(d.context, nullptr, nullptr);
    pa_context_set_subscribe_callback(d.context, nullptr, nullptr);
    pa_context_disconnect(d.context);
    pa_context_unref(d.context);
    d.context = nullptr;
  }
  pa_threaded_mainloop_unlock(d.loop);
  pa_threaded_mainloop_stop(d.loop);
  pa_threaded_mainloop_free(d.loop);
}

std::vector<PulseSource> ListPulseSources(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
  if (!loop) return {};
  std::unique_ptr<pa_context, ContextDeleter> context(
      pa_context_new(pa_mainloop_get_api(loop.get()), "Kinovo"));
  if (!context) return {};
  // Never start a server of our own: no server means no microphones.
  if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) return {};

  for (;;) {
    const pa_context_state_t state = pa_context_get_state(context.get());
    if (state == PA_CONTEXT_READY) break;
    if (!PA_CONTEXT_IS_GOOD(state)) return {};
    if (!Iterate(loop.get(), deadline)) return {};
  }

  Listing listing;
  std::unique_ptr<pa_operation, OperationDeleter> op(
      pa_context_get_source_info_list(context.get(), OnSourceInfo, &listing));
  if (!op) return {};
  while (!listing.done) {
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context.get()))) return {};
    if (!Iterate(loop.get(), deadline)) return {};
  }
  return std::move(listing.sources);
}

}  // namespace kinovo::media::linux_backend
