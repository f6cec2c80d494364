#include "platform/media/linux/pulse_sources.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>

#include <memory>

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
