#pragma once

// The video window: a child widget that shows the newest camera frame,
// stretched to its size. Frames are decoded and scaled on a thread of its
// own; the newest frame always wins, a frame that is replaced before it was
// decoded is dropped (and counted), and Present() never waits. It lets the
// pointer through to the window beneath, which handles all input.
//
// Nothing is decoded that cannot be seen: while the widget is hidden (its
// window minimised, say) frames only replace one another, and a new frame is
// decoded only once the previous picture was painted, so a window the window
// system does not let paint (minimised, or covered by opaque widgets) costs
// no decoding. The newest frame is decoded as soon as the window shows again.
//
// paintEvent paints the latest picture at the widget's current size: after
// a resize it decodes the latest frame again when the stored picture is
// smaller than the widget, so grab() at a new size gives a sharp picture of
// that size.

#include <QWidget>
#include <cstdint>
#include <memory>

#include "platform/media/stream/frame.h"

namespace kinovo::media::stream {

class FrameRenderer : public QWidget {
 public:
  struct Stats {
    std::uint64_t presented = 0;
    std::uint64_t dropped = 0;  // replaced by a newer frame before being decoded
                                // (also while the window could not be seen)
    std::uint64_t decoded = 0;
    std::uint64_t failed = 0;   // could not be decoded; the previous picture stays
  };

  explicit FrameRenderer(QWidget* parent = nullptr);
  ~FrameRenderer() override;

  // Any thread.
  void Present(VideoFramePtr frame);
  // Forgets the picture; the window turns black. User-interface thread.
  void Clear();
  Stats stats() const;

 protected:
  // Ends the decoding thread; a frame it finishes asks for a repaint of
  // this widget, so a derived class calls this first in its destructor,
  // before its part of the object is gone. Idempotent.
  void StopDecoding();

  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kinovo::media::stream
