// CPU cost of the video window's decoding: a 1080p Motion-JPEG frame decoded
// and scaled to the window's size, per frame, on one thread; and of a
// photo's exact decode. Not a test:
//   stream_decode_bench [frames]

#include <time.h>
#include <turbojpeg.h>

#include <QImage>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "platform/media/stream/frame_decoder.h"
#include "platform/media/stream/still_decoder.h"
#include "support.h"

namespace ms = kinovo::media::stream;
using kinovo::streamtest::EncodeJpeg;
using kinovo::streamtest::JpegFrame;
using kinovo::streamtest::RawFrame;

namespace {

double ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// Something like a camera picture: smooth shading, edges and sensor noise.
QImage Scene(int width, int height) {
  QImage image(width, height, QImage::Format_RGB888);
  std::mt19937 noise(1);
  std::normal_distribution<double> grain(0, 6);
  for (int y = 0; y < height; ++y) {
    uchar* row = image.scanLine(y);
    for (int x = 0; x < width; ++x) {
      const bool box = (x / 160 + y / 120) % 3 == 0;
      const double r = 120 + 80 * std::sin(x / 97.0) + (box ? 40 : 0);
      const double g = 110 + 60 * std::cos(y / 71.0);
      const double b = 90 + 50 * std::sin((x + y) / 53.0) - (box ? 30 : 0);
      row[3 * x] = static_cast<uchar>(std::clamp(r + grain(noise), 0.0, 255.0));
      row[3 * x + 1] = static_cast<uchar>(std::clamp(g + grain(noise), 0.0, 255.0));
      row[3 * x + 2] = static_cast<uchar>(std::clamp(b + grain(noise), 0.0, 255.0));
    }
  }
  return image;
}

void Measure(const char* what, const ms::VideoFrame& frame, QSize target, int frames) {
  ms::FrameDecoder decoder;
  QImage picture = decoder.Decode(frame, target);  // warm up
  const double start = ThreadCpuMs();
  for (int i = 0; i < frames; ++i) picture = decoder.Decode(frame, target, std::move(picture));
  const double perFrame = (ThreadCpuMs() - start) / frames;
  const QSize decoded = decoder.lastJpegSize().isValid() ? decoder.lastJpegSize() : QSize(frame.format.width, frame.format.height);
  std::printf("%-18s -> %4dx%-4d (decoded at %4dx%-4d): %6.2f ms CPU/frame, %5.1f %% of a core at 30 fps\n", what,
              target.width(), target.height(), decoded.width(), decoded.height(), perFrame, perFrame * 30 / 10);
}

void MeasureTurboJpeg(const std::vector<std::uint8_t>& jpeg, int width, int height, int frames) {
  tjhandle tj = tjInitDecompress();
  std::vector<unsigned char> planes(std::size_t{3} * width * height);
  for (const int flags : {0, TJFLAG_FASTDCT}) {
    const double start = ThreadCpuMs();
    for (int i = 0; i < frames; ++i) {
      tjDecompressToYUV2(tj, jpeg.data(), jpeg.size(), planes.data(), width, 4, height, flags);
    }
    std::printf("TurboJPEG alone, to YUV planes at %4dx%-4d%s: %6.2f ms CPU/frame\n", width, height,
                flags ? " (fast DCT)" : "", (ThreadCpuMs() - start) / frames);
  }
  tjDestroy(tj);
}

// A photo's decode at the frame's own size, off the user-interface thread.
void MeasureStill(const char* what, const ms::VideoFrame& frame, int frames) {
  QImage picture = ms::DecodeStill(frame, {});  // warm up
  const double start = ThreadCpuMs();
  for (int i = 0; i < frames; ++i) picture = ms::DecodeStill(frame, {});
  std::printf("photo %-18s (exact, %4dx%-4d): %6.2f ms CPU/frame\n", what, picture.width(),
              picture.height(), (ThreadCpuMs() - start) / frames);
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 200;
  const QImage scene = Scene(1920, 1080);
  const auto jpeg = EncodeJpeg(scene, 85, TJSAMP_422);
  std::printf("1080p Motion-JPEG frame, 4:2:2, quality 85: %zu bytes\n", jpeg.size());
  const auto mjpeg = JpegFrame(jpeg, 1920, 1080);
  Measure("MJPEG 1920x1080", *mjpeg, {1536, 864}, frames);
  Measure("MJPEG 1920x1080", *mjpeg, {1920, 1080}, frames);
  Measure("MJPEG 1920x1080", *mjpeg, {960, 540}, frames);
  Measure("MJPEG 1920x1080", *mjpeg, {610, 343}, frames);
  MeasureTurboJpeg(jpeg, 1920, 1080, frames);
  MeasureTurboJpeg(jpeg, 1680, 945, frames);  // the 7/8 scale
  MeasureTurboJpeg(jpeg, 960, 540, frames);
  const auto yuyv = RawFrame(Scene(640, 480), ms::fourcc::kYUYV);
  Measure("YUYV 640x480", *yuyv, {1536, 864}, frames);
  Measure("YUYV 640x480", *yuyv, {610, 450}, frames);
  const int stills = std::max(1, frames / 10);
  MeasureStill("MJPEG 1920x1080", *mjpeg, stills);
  MeasureStill("MJPEG 3840x2160",
               *JpegFrame(EncodeJpeg(Scene(3840, 2160), 85, TJSAMP_422), 3840, 2160), stills);
  MeasureStill("YUYV 1920x1080", *RawFrame(scene, ms::fourcc::kYUYV), stills);
  return 0;
}
