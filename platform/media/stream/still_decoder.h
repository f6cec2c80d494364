#pragma once

// Camera frames decoded for a photo: every pixel at full precision, where
// the preview trades some for speed. Slow for large frames (a 4K frame
// takes tens of milliseconds): not for the user-interface thread.

#include <QImage>
#include <QSize>
#include <string>

#include "platform/media/stream/frame.h"

namespace kinovo::media::stream {

// `frame` as an RGB32 picture of `size` (the frame's own size when empty):
// Motion-JPEG through libjpeg-turbo's accurate transform and smooth chroma
// upsampling; YUYV, UYVY, YU12, YV12, NV12 and NV21 through libyuv's BT.601
// video-range conversion; other raw formats as FrameDecoder converts them.
// A picture whose size is not `size` is then scaled to it (bilinear). A
// null image when the frame cannot be decoded, with `why` in words.
QImage DecodeStill(const VideoFrame& frame, QSize size, std::string* why = nullptr);

}  // namespace kinovo::media::stream
