#include "platform/media/linux/graph_window.h"

#include <QWidget>

namespace kinovo::media::linux_backend {
namespace {

// Qt's largest widget size.
constexpr std::int32_t kMaxExtent = QWIDGETSIZE_MAX;

}  // namespace

GraphRenderer::GraphRenderer(std::shared_ptr<PreviewTap> tap) : tap_(std::move(tap)) {
  tap_->Attach(this);
}

GraphRenderer::~GraphRenderer() {
  tap_->Detach();
  StopDecoding();
}

void GraphVideoWindow::Apply() {
  GraphRenderer* r = renderer_.data();
  if (!r) return;
  const QRect geometry = r->geometry();
  QWidget* parent = owner_.data();
  Qt::WindowFlags flags = Qt::Widget;
  if (!(style_ & kWsChild) || !parent) {
    // A window of its own: frameless, never active, and the pointer goes
    // through it like through the child.
    flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowTransparentForInput |
            Qt::WindowDoesNotAcceptFocus;
  }
  if (r->parentWidget() != parent || r->windowFlags() != flags) {
    r->setParent(parent, flags);  // hides it
    r->setAttribute(Qt::WA_ShowWithoutActivating);
    r->setGeometry(geometry);
  }
  // Without an owner it stays hidden: a stray window of its own would help
  // no one.
  r->setVisible(visible_ && parent);
}

Status GraphVideoWindow::put_Visible(bool visible) {
  if (!renderer_) return kUnexpected;
  visible_ = visible;
  Apply();
  return kOk;
}

Status GraphVideoWindow::put_Owner(WindowHandle owner) {
  if (!renderer_) return kUnexpected;
  owner_ = owner;
  Apply();
  return kOk;
}

Status GraphVideoWindow::put_MessageDrain(WindowHandle drain) {
  if (!renderer_) return kUnexpected;
  // The renderer takes no pointer input, so input over the picture lands
  // on the windows beneath it: with an input-transparent owner, that is
  // the drain.
  drain_ = drain;
  return kOk;
}

Status GraphVideoWindow::put_WindowStyle(std::int32_t style) {
  if (!renderer_) return kUnexpected;
  style_ = style;
  Apply();
  return kOk;
}

Status GraphVideoWindow::put_Left(std::int32_t left) {
  GraphRenderer* r = renderer_.data();
  if (!r) return kUnexpected;
  r->move(left, r->y());
  return kOk;
}

Status GraphVideoWindow::put_Top(std::int32_t top) {
  GraphRenderer* r = renderer_.data();
  if (!r) return kUnexpected;
  r->move(r->x(), top);
  return kOk;
}

Status GraphVideoWindow::put_Width(std::int32_t width) {
  GraphRenderer* r = renderer_.data();
  if (!r) return kUnexpected;
  if (width < 0 || width > kMaxExtent) return kInvalidArg;
  r->resize(width, r->height());
  return kOk;
}

Status GraphVideoWindow::put_Height(std::int32_t height) {
  GraphRenderer* r = renderer_.data();
  if (!r) return kUnexpected;
  if (height < 0 || height > kMaxExtent) return kInvalidArg;
  r->resize(r->width(), height);
  return kOk;
}

}  // namespace kinovo::media::linux_backend
