#include "platform/media/stream/frame_renderer.h"

#include <QMetaObject>
#include <QPainter>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/media/stream/frame_decoder.h"

namespace kinovo::media::stream {

struct FrameRenderer::Impl {
  explicit Impl(FrameRenderer* w) : widget(w) {}

  FrameRenderer* widget;
  std::thread thread;
  FrameDecoder threadDecoder;  // the decoding thread's
  FrameDecoder paintDecoder;   // the user-interface thread's

  mutable std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;     // guarded by mutex
  bool shown = false;        // guarded by mutex: between showEvent and hideEvent
  bool unpainted = false;    // guarded by mutex: a picture waits for paintEvent
  VideoFramePtr pending;     // guarded by mutex
  QSize target;              // guarded by mutex: device pixels
  QImage image;              // guarded by mutex: the latest picture
  VideoFramePtr imageFrame;  // guarded by mutex: the frame it came from
  std::uint64_t generation = 0;  // guarded by mutex

  std::atomic<bool> repaintPosted{false};
  std::atomic<std::uint64_t> presented{0}, dropped{0}, decoded{0}, failed{0};

  void Run();
  void RequestRepaint();
};

FrameRenderer::FrameRenderer(QWidget* parent) : QWidget(parent), impl_(std::make_unique<Impl>(this)) {
  // Clicks and moves over the picture belong to the window beneath.
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setFocusPolicy(Qt::NoFocus);
  impl_->target = size() * devicePixelRatioF();
  impl_->thread = std::thread([d = impl_.get()] { d->Run(); });
}

FrameRenderer::~FrameRenderer() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  impl_->thread.join();
}

void FrameRenderer::Present(VideoFramePtr frame) {
  if (!frame) return;
  ++impl_->presented;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->pending) ++impl_->dropped;
    impl_->pending = std::move(frame);
  }
  impl_->wake.notify_one();
}

void FrameRenderer::Clear() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->pending) ++impl_->dropped;
    impl_->pending.reset();
    impl_->image = QImage();
    impl_->imageFrame.reset();
    ++impl_->generation;
  }
  update();
}

FrameRenderer::Stats FrameRenderer::stats() const {
  return {impl_->presented.load(), impl_->dropped.load(), impl_->decoded.load(), impl_->failed.load()};
}

void FrameRenderer::Impl::Run() {
  QImage spare;
  for (;;) {
    VideoFramePtr frame;
    QSize size;
    {
      std::unique_lock lock(mutex);
      wake.wait(lock, [this] { return stopping || (pending && shown && !unpainted); });
      if (stopping) return;
      frame = std::move(pending);
      size = target;
    }
    QImage picture = threadDecoder.Decode(*frame, size, std::move(spare));
    if (picture.isNull()) {
      ++failed;
      continue;
    }
    ++decoded;
    {
      std::lock_guard lock(mutex);
      // The picture it replaces is written over next time, unless a paint
      // still holds it.
      spare = std::exchange(image, std::move(picture));
      imageFrame = std::move(frame);
      ++generation;
      unpainted = true;
    }
    RequestRepaint();
  }
}

void FrameRenderer::Impl::RequestRepaint() {
  // One repaint request in flight is enough: it paints the newest picture.
  // The request carries no data; the picture is handed over under the lock.
  if (repaintPosted.exchange(true)) return;
  QMetaObject::invokeMethod(widget, "update", Qt::QueuedConnection);
}

void FrameRenderer::resizeEvent(QResizeEvent* event) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->target = size() * devicePixelRatioF();
  }
  QWidget::resizeEvent(event);
}

void FrameRenderer::showEvent(QShowEvent* event) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->shown = true;
  }
  impl_->wake.notify_one();
  QWidget::showEvent(event);
}

void FrameRenderer::hideEvent(QHideEvent* event) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->shown = false;
  }
  QWidget::hideEvent(event);
}

void FrameRenderer::paintEvent(QPaintEvent*) {
  impl_->repaintPosted = false;
  const QSize want = size() * devicePixelRatioF();
  QImage picture;
  VideoFramePtr source;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(impl_->mutex);
    picture = impl_->image;
    source = impl_->imageFrame;
    generation = impl_->generation;
    impl_->unpainted = false;
  }
  impl_->wake.notify_one();
  // Grown past the decoded picture: decode the frame again at this size
  // rather than blow the small picture up.
  const bool tooSmall = !picture.isNull() && source &&
                        (picture.width() < want.width() || picture.height() < want.height()) &&
                        (picture.width() < source->format.width || picture.height() < source->format.height);
  if (tooSmall) {
    QImage sharp = impl_->paintDecoder.Decode(*source, want);
    if (!sharp.isNull()) {
      picture = sharp;
      std::lock_guard lock(impl_->mutex);
      if (impl_->generation == generation) impl_->image = std::move(sharp);
    }
  }
  QPainter painter(this);
  if (picture.isNull()) {
    painter.fillRect(rect(), Qt::black);
    return;
  }
  painter.setRenderHint(QPainter::SmoothPixmapTransform, picture.size() != want);
  painter.drawImage(rect(), picture);
}

}  // namespace kinovo::media::stream
