#include "platform/media/stream/frame_renderer.h"

#include <QPaintEngine>
#include <QPaintEvent>
#include <QPainter>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/media/stream/frame_decoder.h"
#include "platform/media/stream/thread_wake_up.h"

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
  // The latest picture, and the frame it came from. A paint holds on to the
  // picture while it draws; the decoding thread reuses a picture only when
  // it holds it alone (use counts read under the mutex).
  std::shared_ptr<DecodedPicture> picture;  // guarded by mutex
  VideoFramePtr pictureFrame;               // guarded by mutex
  std::uint64_t generation = 0;  // guarded by mutex

  std::atomic<bool> repaintPosted{false};
  ThreadWakeUp repaint{[this] { widget->update(); }};
  std::atomic<std::uint64_t> presented{0}, dropped{0}, decoded{0}, failed{0};

  QImage canvas;  // the user-interface thread's, where pictures cannot be drawn in place

  void Run();
  void RequestRepaint();
  bool DrawInPlace(QPainter& painter, const DecodedPicture& shown, const QRegion& region);
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

FrameRenderer::~FrameRenderer() { StopDecoding(); }

void FrameRenderer::StopDecoding() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  if (impl_->thread.joinable()) impl_->thread.join();
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
    impl_->picture.reset();
    impl_->pictureFrame.reset();
    ++impl_->generation;
  }
  update();
}

FrameRenderer::Stats FrameRenderer::stats() const {
  return {impl_->presented.load(), impl_->dropped.load(), impl_->decoded.load(), impl_->failed.load()};
}

void FrameRenderer::Impl::Run() {
  std::shared_ptr<DecodedPicture> spare;
  for (;;) {
    VideoFramePtr frame;
    QSize size;
    {
      std::unique_lock lock(mutex);
      wake.wait(lock, [this] { return stopping || (pending && shown && !unpainted); });
      if (stopping) return;
      frame = std::move(pending);
      size = target;
      // A paint still drawing the spare keeps it; then another one is made.
      if (spare && spare.use_count() > 1) spare.reset();
    }
    if (!spare) spare = std::make_shared<DecodedPicture>();
    if (!threadDecoder.DecodeForDrawing(*frame, size, *spare)) {
      ++failed;
      continue;
    }
    ++decoded;
    {
      std::lock_guard lock(mutex);
      spare = std::exchange(picture, std::move(spare));
      pictureFrame = std::move(frame);
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
  repaint.Post();
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

// Converts and scales the picture straight into the pixels Qt paints this
// widget into (the window's backing store, or the image of a grab), where
// that is a plain 32-bit image: no copy of the finished picture. False
// where it is not, or the widget starts outside it.
bool FrameRenderer::Impl::DrawInPlace(QPainter& painter, const DecodedPicture& shown,
                                      const QRegion& region) {
  QPaintEngine* engine = painter.paintEngine();
  if (!engine || engine->type() != QPaintEngine::Raster) return false;
  QPaintDevice* device = engine->paintDevice();
  if (!device || device->devType() != QInternal::Image) return false;
  auto* pixels = static_cast<QImage*>(device);
  const QImage::Format format = pixels->format();
  if (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32 &&
      format != QImage::Format_ARGB32_Premultiplied) {
    return false;
  }
  const QTransform transform = painter.deviceTransform();
  if (transform.type() > QTransform::TxScale) return false;
  const QRect rect = transform.mapRect(QRectF(widget->rect())).toAlignedRect();
  // Where Qt lets this widget paint now, in the image's pixels.
  QRegion clip = transform.map(region) & rect;
  const QRegion system = engine->systemClip();
  if (!system.isEmpty()) clip &= system;
  return paintDecoder.Draw(shown, *pixels, rect, clip);
}

void FrameRenderer::paintEvent(QPaintEvent* event) {
  impl_->repaintPosted = false;
  const QSize want = size() * devicePixelRatioF();
  std::shared_ptr<DecodedPicture> shown;
  VideoFramePtr source;
  std::uint64_t generation = 0;
  {
    std::lock_guard lock(impl_->mutex);
    shown = impl_->picture;
    source = impl_->pictureFrame;
    generation = impl_->generation;
    impl_->unpainted = false;
  }
  impl_->wake.notify_one();
  // Grown past a picture decoded at a reduced scale: decode the frame again
  // at this size rather than blow the small picture up.
  const QSize decodedAt = shown ? shown->size() : QSize();
  const bool tooSmall = shown && source &&
                        (decodedAt.width() < want.width() || decodedAt.height() < want.height()) &&
                        (decodedAt.width() < source->format.width || decodedAt.height() < source->format.height);
  if (tooSmall) {
    auto sharp = std::make_shared<DecodedPicture>();
    if (impl_->paintDecoder.DecodeForDrawing(*source, want, *sharp)) {
      std::lock_guard lock(impl_->mutex);
      if (impl_->generation == generation) impl_->picture = sharp;
      shown = std::move(sharp);
    }
  }
  QPainter painter(this);
  bool drawn = false;
  if (shown) {
    drawn = impl_->DrawInPlace(painter, *shown, event->region());
    if (!drawn) {
      QImage& canvas = impl_->canvas;
      if (canvas.size() != want) canvas = QImage(want, QImage::Format_RGB32);
      drawn = impl_->paintDecoder.Draw(*shown, canvas, canvas.rect(), canvas.rect());
      if (drawn) painter.drawImage(rect(), canvas);
    }
  }
  if (!drawn) painter.fillRect(rect(), Qt::black);
  painter.end();
  // Let go of the picture under the lock, so that the decoding thread sees
  // it free only once nothing here reads it any more.
  std::lock_guard lock(impl_->mutex);
  shown.reset();
}

}  // namespace kinovo::media::stream
