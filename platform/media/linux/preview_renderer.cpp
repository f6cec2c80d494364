#include "platform/media/linux/preview_renderer.h"

#include <QWidget>

namespace kinovo::media::linux_backend {

PreviewRenderer::PreviewRenderer(std::shared_ptr<PreviewTap> tap) : tap_(std::move(tap)) {
  tap_->Attach(this);
}

PreviewRenderer::~PreviewRenderer() {
  tap_->Detach();
  StopDecoding();
}

void PreviewRenderer::PlaceIn(QWidget* owner, const QRect& geometry) {
  if (parentWidget() != owner) setParent(owner);  // hides it
  setGeometry(geometry);
  setVisible(owner != nullptr);
}

}  // namespace kinovo::media::linux_backend
