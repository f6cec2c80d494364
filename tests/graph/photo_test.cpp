// Photos through the capture graph: the frame the preview was given last,
// decoded exactly at the mode's size, and the JPEG written from it.

#include <libyuv/convert_argb.h>

#include <QRandomGenerator>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "graph_fixture.h"
#include "tests/stream/support.h"

namespace kinovo::graphtest {
namespace {

using streamtest::TempDir;
namespace fourcc = media::stream::fourcc;

// The frame's bytes decoded without the program's decoder: libjpeg-turbo
// with the accurate transform, or libyuv's BT.601 conversion of YUYV.
QImage ExactDecode(const media::stream::VideoFrame& frame) {
  const media::stream::StreamFormat& f = frame.format;
  if (f.pixelFormat == fourcc::kYUYV) {
    QImage exact(f.width, f.height, QImage::Format_RGB32);
    const int stride = f.bytesPerLine > 0 ? f.bytesPerLine : 2 * f.width;
    if (libyuv::YUY2ToARGB(frame.bytes().data(), stride, exact.bits(),
                           static_cast<int>(exact.bytesPerLine()), f.width, f.height) != 0) {
      return {};
    }
    return exact;
  }
  return streamtest::AccurateJpeg(frame.bytes().data(), frame.size());
}

QImage ReadJpeg(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
  return streamtest::AccurateJpeg(bytes.data(), bytes.size());
}

struct Difference {
  int pixels = 0;   // differing at all
  double mean = 0;  // per channel
  int worst = 0;    // the largest difference of a channel
  double psnr = 0;  // in dB
};

Difference Compare(const QImage& got, const QImage& want) {
  Difference d;
  double total = 0, squares = 0;
  for (int y = 0; y < want.height(); ++y) {
    const auto* a = reinterpret_cast<const QRgb*>(got.constScanLine(y));
    const auto* b = reinterpret_cast<const QRgb*>(want.constScanLine(y));
    for (int x = 0; x < want.width(); ++x) {
      const int r = std::abs(qRed(a[x]) - qRed(b[x]));
      const int g = std::abs(qGreen(a[x]) - qGreen(b[x]));
      const int bl = std::abs(qBlue(a[x]) - qBlue(b[x]));
      if (r || g || bl) ++d.pixels;
      d.worst = std::max({d.worst, r, g, bl});
      total += r + g + bl;
      squares += r * r + g * g + bl * bl;
    }
  }
  const double values = 3.0 * want.width() * want.height();
  d.mean = total / values;
  d.psnr = 10 * std::log10(255.0 * 255.0 / std::max(squares / values, 1e-9));
  return d;
}

// The reference's colours are BT.601 video range: spot checks against the
// formula, so that decoder and reference cannot share a wrong matrix.
void ExpectBt601(const media::stream::VideoFrame& frame, const QImage& exact) {
  const std::uint8_t* data = frame.bytes().data();
  const int stride =
      frame.format.bytesPerLine > 0 ? frame.format.bytesPerLine : 2 * frame.format.width;
  QRandomGenerator random(3);
  for (int i = 0; i < 500; ++i) {
    const int x = static_cast<int>(random.bounded(exact.width()));
    const int y = static_cast<int>(random.bounded(exact.height()));
    const std::uint8_t* pair = data + static_cast<std::ptrdiff_t>(y) * stride + (x & ~1) * 2;
    const double l = 1.164 * (pair[(x & 1) * 2] - 16);
    const double u = pair[1] - 128.0, v = pair[3] - 128.0;
    const double want[] = {l + 1.596 * v, l - 0.392 * u - 0.813 * v, l + 2.017 * u};
    const QRgb got = exact.pixel(x, y);
    const int channels[] = {qRed(got), qGreen(got), qBlue(got)};
    for (int c = 0; c < 3; ++c) {
      ASSERT_NEAR(channels[c], std::clamp(want[c], 0.0, 255.0), 3) << "at " << x << "," << y;
    }
  }
}

struct PhotoCase {
  const char* name;
  int format;
  std::uint32_t pixelFormat;
  QSize size;
};

class Photo : public GraphTest, public ::testing::WithParamInterface<PhotoCase> {};

// The photo is the frame on screen, pixel for pixel an exact decode of its
// bytes at the mode's full size (the mode chosen in the list does not
// count once the camera applied its own); the shutter view's glimpse is
// the same frame at the window's size; the JPEG holds that picture.
TEST_P(Photo, IsAnExactDecodeOfTheFrameOnScreen) {
  const PhotoCase& c = GetParam();
  UseFormat(c.format);
  CCaptureGraph graph;
  ASSERT_EQ(BuildGraph(graph, camera_, {}), 0);
  ASSERT_EQ(StartPreview(graph, preview_), 0);
  ASSERT_TRUE(PumpUntil([&] { return Stats(graph).previewDecoded > 3; }, 5s));
  const QSize size = PhotoSize(graph, QSize(800, 600));
  EXPECT_EQ(size, c.size);

  QString reason;
  const media::StillFrame frame = LatestFrame(graph, &reason);
  ASSERT_FALSE(frame.empty()) << reason.toStdString();
  const media::stream::VideoFrame& bytes = *frame.frame();
  ASSERT_EQ(bytes.format.pixelFormat, c.pixelFormat);
  const QImage exact = ExactDecode(bytes);
  ASSERT_EQ(exact.size(), c.size);
  if (c.pixelFormat == fourcc::kYUYV) ExpectBt601(bytes, exact);

  std::string why;
  const QImage picture = frame.Decode(size, &why);
  ASSERT_EQ(picture.size(), c.size) << why;
  const Difference photo = Compare(picture, exact);
  EXPECT_EQ(photo.pixels, 0) << "worst " << photo.worst << ", mean " << photo.mean;

  const QSize inner(640, 360);
  const QImage glimpse = frame.DecodeForView(inner);
  ASSERT_EQ(glimpse.size(), inner);
  const Difference view =
      Compare(glimpse, exact.scaled(inner, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
  EXPECT_LT(view.mean, 4) << "worst " << view.worst << ", " << view.psnr << " dB";

  TempDir dir;
  const std::filesystem::path file = dir / "img.jpg";
  QString saveWhy;
  ASSERT_TRUE(SavePhoto(frame, size, QPath(file), "jpeg", &saveWhy)) << saveWhy.toStdString();
  const QImage saved = ReadJpeg(file);
  ASSERT_EQ(saved.size(), c.size);
  const Difference jpeg = Compare(saved, exact);
  EXPECT_LT(jpeg.mean, 1.5) << "worst " << jpeg.worst;
  EXPECT_GT(jpeg.psnr, 32) << "mean " << jpeg.mean;

  // Never over a file that is there.
  const auto length = std::filesystem::file_size(file);
  EXPECT_FALSE(SavePhoto(frame, size, QPath(file), "jpeg", &saveWhy));
  EXPECT_EQ(saveWhy, "File exists");
  EXPECT_EQ(std::filesystem::file_size(file), length);
}

INSTANTIATE_TEST_SUITE_P(
    Graph, Photo,
    ::testing::Values(PhotoCase{"Mjpeg1080", kMjpeg1080, fourcc::kMJPEG, {1920, 1080}},
                      PhotoCase{"Yuyv480", kYuyv480, fourcc::kYUYV, {640, 480}},
                      PhotoCase{"Yuyv1080", kYuyv1080, fourcc::kYUYV, {1920, 1080}}),
    [](const auto& info) { return std::string(info.param.name); });

// Without a picture there is no photo, and the reason says why; the size
// is the applied mode's, else the chosen one's, else 1024 x 768.
TEST_F(GraphTest, PhotoWithoutAPictureAndItsSizeWithoutAMode) {
  UseFormat(kMjpeg480);
  CCaptureGraph never;
  CCaptureGraph none;
  ASSERT_EQ(BuildGraph(none, nullptr, {}), 0);
  CCaptureGraph stopped;
  ASSERT_EQ(BuildGraph(stopped, camera_, {}), 0);
  const struct {
    const char* name;
    const CCaptureGraph& graph;
    const char* reason;
  } cases[] = {{"never built", never, "there is no camera"},
               {"no camera", none, "there is no camera"},
               {"not streaming", stopped, "the camera gives no picture"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QString reason;
    EXPECT_TRUE(LatestFrame(c.graph, &reason).empty());
    EXPECT_EQ(reason, c.reason);
    EXPECT_EQ(PhotoSize(c.graph), QSize(1024, 768));
    EXPECT_EQ(PhotoSize(c.graph, QSize(1280, 720)), QSize(1280, 720));
  }
  ASSERT_EQ(StartPreview(stopped, preview_), 0);
  EXPECT_EQ(PhotoSize(stopped, QSize(1280, 720)), QSize(640, 480));
  ASSERT_TRUE(PumpUntil([&] { return !LatestFrame(stopped).empty(); }, 3s));
  StopPreview(stopped);
  QString reason;
  EXPECT_TRUE(LatestFrame(stopped, &reason).empty()) << "a stopped camera's last frame is gone";
  EXPECT_EQ(reason, "the camera gives no picture");
}

// The shutter view's picture is decoded on the prompt thread: a recording
// being finished or a photo being written in the background does not hold
// it up, and what each job returns still comes back on this thread.
TEST_F(GraphTest, PromptJobsDoNotWaitForBackgroundOnes) {
  std::atomic<bool> release{false};
  bool slowDone = false, promptDone = false;
  const std::thread::id here = std::this_thread::get_id();
  media::RunInBackground([&release, &slowDone] {
    while (!release) std::this_thread::sleep_for(1ms);
    return std::function<void()>([&slowDone] { slowDone = true; });
  });
  media::RunPromptly([&promptDone, here] {
    return std::function<void()>([&promptDone, here] {
      EXPECT_EQ(std::this_thread::get_id(), here);
      promptDone = true;
    });
  });
  EXPECT_TRUE(PumpUntil([&] { return promptDone; }, 2s));
  EXPECT_FALSE(slowDone);
  release = true;
  EXPECT_TRUE(PumpUntil([&] { return slowDone; }, 2s));
}

}  // namespace
}  // namespace kinovo::graphtest
