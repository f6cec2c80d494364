#pragma once

// The session's preview: a FrameRenderer that the capture thread feeds
// through a tap, shown as a child of the window it is placed in.

#include <QPointer>
#include <memory>
#include <mutex>

#include "platform/media/stream/frame.h"
#include "platform/media/stream/frame_renderer.h"

class QWidget;

namespace kinovo::media::linux_backend {

// Passes frames from the capture thread to the renderer for exactly as long
// as the renderer exists: the owner window may destroy it at any time. Keeps
// the newest frame for a still picture.
class PreviewTap {
 public:
  void Present(const stream::VideoFramePtr& frame) {
    std::lock_guard lock(mutex_);
    latest_ = frame;
    if (renderer_) renderer_->Present(frame);
  }
  stream::VideoFramePtr Latest() const {
    std::lock_guard lock(mutex_);
    return latest_;
  }
  void Forget() {
    std::lock_guard lock(mutex_);
    latest_.reset();
  }
  void Attach(stream::FrameRenderer* renderer) {
    std::lock_guard lock(mutex_);
    renderer_ = renderer;
  }
  void Detach() { Attach(nullptr); }

 private:
  mutable std::mutex mutex_;
  stream::FrameRenderer* renderer_ = nullptr;  // guarded by mutex_
  stream::VideoFramePtr latest_;               // guarded by mutex_
};

class PreviewRenderer final : public stream::FrameRenderer {
 public:
  explicit PreviewRenderer(std::shared_ptr<PreviewTap> tap);
  // Detaches from the tap, then stops the decoding thread while this
  // object is still whole.
  ~PreviewRenderer() override;

  // Shows it as a child of `owner` at `geometry` (hidden without an owner).
  // It takes no pointer input, so input over the picture lands on the
  // owner and the windows beneath it.
  void PlaceIn(QWidget* owner, const QRect& geometry);

 private:
  std::shared_ptr<PreviewTap> tap_;
};

}  // namespace kinovo::media::linux_backend
