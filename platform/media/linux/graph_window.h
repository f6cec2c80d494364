#pragma once

// The graph's default video renderer: a FrameRenderer that the capture
// thread feeds through a tap, and the VideoWindow interface that places it.

#include <QPointer>
#include <memory>
#include <mutex>

#include "platform/media/media.h"
#include "platform/media/stream/frame.h"
#include "platform/media/stream/frame_renderer.h"

namespace kinovo::media::linux_backend {

// Passes frames from the capture thread to the renderer for exactly as long
// as the renderer exists: the owner window may destroy it at any time.
class PreviewTap {
 public:
  void Present(const stream::VideoFramePtr& frame) {
    std::lock_guard lock(mutex_);
    if (renderer_) renderer_->Present(frame);
  }
  void Attach(stream::FrameRenderer* renderer) {
    std::lock_guard lock(mutex_);
    renderer_ = renderer;
  }
  void Detach() { Attach(nullptr); }

 private:
  std::mutex mutex_;
  stream::FrameRenderer* renderer_ = nullptr;  // guarded by mutex_
};

class GraphRenderer final : public stream::FrameRenderer {
 public:
  explicit GraphRenderer(std::shared_ptr<PreviewTap> tap);
  // Detaches from the tap, then stops the decoding thread while this
  // object is still whole.
  ~GraphRenderer() override;
  const std::shared_ptr<PreviewTap>& tap() const { return tap_; }

 private:
  std::shared_ptr<PreviewTap> tap_;
};

// Places the renderer: a child of the owner window (or, without the child
// style, a frameless window of its own above the owner), input-transparent
// so that the pointer reaches the window beneath it.
class GraphVideoWindow final : public VideoWindow {
 public:
  explicit GraphVideoWindow(QPointer<GraphRenderer> renderer) : renderer_(std::move(renderer)) {}

  Status put_Visible(bool visible) override;
  Status put_Owner(WindowHandle owner) override;
  Status put_MessageDrain(WindowHandle drain) override;
  Status put_WindowStyle(std::int32_t style) override;
  Status put_Left(std::int32_t left) override;
  Status put_Top(std::int32_t top) override;
  Status put_Width(std::int32_t width) override;
  Status put_Height(std::int32_t height) override;

 private:
  // Reparents and shows or hides the renderer as owner, style and
  // visibility say.
  void Apply();

  QPointer<GraphRenderer> renderer_;
  QPointer<QWidget> owner_;
  QPointer<QWidget> drain_;
  std::int32_t style_ = kWsChild | kWsClipSiblings;
  bool visible_ = true;  // shown once it has an owner, like the platform's auto-show
};

}  // namespace kinovo::media::linux_backend
