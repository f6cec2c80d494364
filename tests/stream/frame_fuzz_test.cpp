// Hostile camera frames through the decoders and the video window: cut
// short, bits flipped, empty, a JPEG header claiming another size than the
// mode, raw frames shorter than the mode, noise. Nothing may crash, read
// out of bounds, leak or stall, and the next good frame always shows.
// Built once more with AddressSanitizer and UndefinedBehaviorSanitizer
// (run_asan.sh).

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/media/stream/frame_decoder.h"
#include "platform/media/stream/frame_renderer.h"
#include "platform/media/stream/still_decoder.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

using media::stream::DecodedPicture;
using media::stream::FrameDecoder;
using media::stream::FrameRenderer;
using media::stream::VideoFrame;
using media::stream::VideoFramePtr;
namespace fourcc = media::stream::fourcc;

constexpr int kDecoderFrames = 10000;
constexpr int kRendererFrames = 1500;

// Good frames the hostile ones are made from: Motion-JPEG of the usual
// subsamplings and raw formats with and without padded rows.
std::vector<VideoFramePtr> Seeds() {
  std::vector<VideoFramePtr> seeds;
  const QImage small = QuadrantImage(160, 120);
  const QImage medium = QuadrantImage(320, 240);
  for (const int subsampling : {TJSAMP_422, TJSAMP_420, TJSAMP_444, TJSAMP_GRAY}) {
    seeds.push_back(JpegFrame(EncodeJpeg(medium, 85, subsampling), 320, 240));
  }
  seeds.push_back(JpegFrame(EncodeJpeg(small, 60, TJSAMP_422), 160, 120));
  for (const auto& [format, stride] : std::vector<std::pair<std::uint32_t, int>>{
           {fourcc::kYUYV, 0}, {fourcc::kYUYV, 352}, {fourcc::kUYVY, 0}, {fourcc::kNV12, 0},
           {fourcc::kYUV420, 176}, {fourcc::kBGR24, 0}, {fourcc::kGREY, 0}}) {
    seeds.push_back(RawFrame(small, format, stride));
  }
  return seeds;
}

bool IsJpeg(const VideoFrame& frame) {
  return frame.format.pixelFormat == fourcc::kMJPEG || frame.format.pixelFormat == fourcc::kJPEG;
}

// One hostile variant of `seed`, the way cameras and USB damage frames.
std::shared_ptr<VideoFrame> Damage(const VideoFrame& seed, std::mt19937& rng) {
  auto pick = [&](std::size_t n) { return n ? static_cast<std::size_t>(rng() % n) : 0; };
  std::vector<std::uint8_t> bytes(seed.bytes().begin(), seed.bytes().end());
  media::stream::StreamFormat format = seed.format;
  const bool jpeg = IsJpeg(seed);
  switch (rng() % 9) {
    case 0:  // cut short
      bytes.resize(pick(bytes.size()));
      break;
    case 1:  // bits flipped, mostly in the headers
      for (int i = 0, n = 1 + static_cast<int>(pick(16)); i < n && !bytes.empty(); ++i) {
        const std::size_t at = rng() % 4 ? pick(std::min<std::size_t>(bytes.size(), 700)) : pick(bytes.size());
        bytes[at] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
      }
      break;
    case 2:  // an empty buffer
      bytes.clear();
      break;
    case 3:
      if (jpeg) {
        // The frame header claims another size: larger, smaller, zero.
        static const int sides[] = {0, 1, 2, 8, 100, 640, 1920, 4096, 16384, 65535};
        for (std::size_t i = 0; i + 8 < bytes.size(); ++i) {
          if (bytes[i] == 0xff && (bytes[i + 1] == 0xc0 || bytes[i + 1] == 0xc2)) {
            const int h = sides[pick(std::size(sides))], w = sides[pick(std::size(sides))];
            bytes[i + 5] = static_cast<std::uint8_t>(h >> 8);
            bytes[i + 6] = static_cast<std::uint8_t>(h);
            bytes[i + 7] = static_cast<std::uint8_t>(w >> 8);
            bytes[i + 8] = static_cast<std::uint8_t>(w);
            break;
          }
        }
      } else {
        // Shorter than the mode by a little or by a lot.
        bytes.resize(bytes.size() - 1 - pick(bytes.size() - 1));
      }
      break;
    case 4:  // noise of any length
      bytes.resize(pick(2 * bytes.size() + 1));
      for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
      break;
    case 5: {  // a run of bytes lost or doubled in the middle (a USB packet)
      if (bytes.size() < 4) break;
      const std::size_t at = pick(bytes.size()), n = 1 + pick(std::min<std::size_t>(bytes.size() - at, 1024));
      if (rng() % 2) {
        bytes.erase(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(std::min(at + n, bytes.size())));
      } else {
        std::vector<std::uint8_t> run(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(std::min(at + n, bytes.size())));
        bytes.insert(bytes.begin() + static_cast<long>(at), run.begin(), run.end());
      }
      break;
    }
    case 6:  // markers where there were none
      for (int i = 0, n = 1 + static_cast<int>(pick(8)); i < n && !bytes.empty(); ++i) {
        bytes[pick(bytes.size())] = 0xff;
      }
      break;
    case 7:  // a mode that does not match the data
      format.width = static_cast<std::int32_t>(format.width + static_cast<int>(pick(65)) - 32);
      format.height = static_cast<std::int32_t>(format.height + static_cast<int>(pick(65)) - 32);
      if (!jpeg && rng() % 2) format.bytesPerLine = static_cast<std::int32_t>(pick(4096)) - 8;
      break;
    default:  // the header and tables cut off
      bytes.resize(std::min<std::size_t>(bytes.size(), pick(700)));
      break;
  }
  auto frame = VideoFrame::Create(bytes.size());
  if (!bytes.empty()) std::memcpy(frame->bytes().data(), bytes.data(), bytes.size());
  frame->format = format;
  return frame;
}

QSize RandomTarget(std::mt19937& rng) {
  static const QSize targets[] = {{0, 0}, {1, 1}, {7, 5}, {80, 60}, {160, 120}, {333, 211}, {640, 360}};
  return targets[rng() % std::size(targets)];
}

void ExpectQuadrants(const QImage& picture, const char* what) {
  ASSERT_FALSE(picture.isNull()) << what << ": the good frame after a damaged one did not decode";
  const Quadrants q;
  const int w = picture.width(), h = picture.height();
  EXPECT_TRUE(Near(picture.pixelColor(w / 4, h / 4), q.topLeft, 16)) << what;
  EXPECT_TRUE(Near(picture.pixelColor(3 * w / 4, 3 * h / 4), q.bottomRight, 16)) << what;
}

TEST(FrameFuzz, TheDecoderSurvivesHostileFramesAndShowsTheNextGoodOne) {
  const std::vector<VideoFramePtr> seeds = Seeds();
  const VideoFramePtr goodJpeg = JpegFrame(EncodeJpeg(QuadrantImage(320, 240)), 320, 240);
  const VideoFramePtr goodRaw = RawFrame(QuadrantImage(160, 120), fourcc::kYUYV);
  std::mt19937 rng(20261210);
  FrameDecoder decoder;
  DecodedPicture picture;
  QImage canvas(400, 300, QImage::Format_RGB32);
  int failed = 0;
  for (int n = 0; n < kDecoderFrames; ++n) {
    const VideoFramePtr& seed = seeds[rng() % seeds.size()];
    const auto frame = Damage(*seed, rng);
    if (n % 2 == 0) {
      const QImage out = decoder.Decode(*frame, RandomTarget(rng));
      if (out.isNull()) ++failed;
    } else if (decoder.DecodeForDrawing(*frame, RandomTarget(rng), picture)) {
      const QRect rect(static_cast<int>(rng() % 50), static_cast<int>(rng() % 50),
                       1 + static_cast<int>(rng() % 500), 1 + static_cast<int>(rng() % 400));
      decoder.Draw(picture, canvas, rect, QRegion(rect.adjusted(-10, 5, 10, -5)));
    } else {
      ++failed;
    }
    // The next good frame shows, whatever came before.
    if (IsJpeg(*seed) || n % 10 == 0) {
      const VideoFramePtr& good = IsJpeg(*seed) ? goodJpeg : goodRaw;
      ExpectQuadrants(decoder.Decode(*good, {80, 60}), "Decode");
      ASSERT_TRUE(decoder.DecodeForDrawing(*good, {80, 60}, picture));
      QImage small(80, 60, QImage::Format_RGB32);
      ASSERT_TRUE(decoder.Draw(picture, small, small.rect(), QRegion(small.rect())));
      ExpectQuadrants(small, "Draw");
    }
    if (HasFatalFailure() || testing::Test::HasFailure()) FAIL() << "at hostile frame " << n;
  }
  EXPECT_GT(failed, kDecoderFrames / 10);  // the damage was real
}

// A photo decodes whatever frame came last: a damaged one gives no
// picture and says why, or a picture of the size asked for.
TEST(FrameFuzz, ThePhotoDecoderSurvivesHostileFrames) {
  const std::vector<VideoFramePtr> seeds = Seeds();
  std::mt19937 rng(20261211);
  int failed = 0;
  for (int n = 0; n < kDecoderFrames / 4; ++n) {
    const auto frame = Damage(*seeds[rng() % seeds.size()], rng);
    const QSize target = RandomTarget(rng);
    std::string why;
    const QImage out = media::stream::DecodeStill(*frame, target, &why);
    if (out.isNull()) {
      ++failed;
      EXPECT_FALSE(why.empty());
    } else if (!target.isEmpty()) {
      EXPECT_EQ(out.size(), target);
    }
    if (testing::Test::HasFailure()) FAIL() << "at hostile frame " << n;
  }
  EXPECT_GT(failed, kDecoderFrames / 40);  // the damage was real
}

TEST(FrameFuzz, TheVideoWindowSkipsHostileFramesAndShowsTheNextGoodOne) {
  const std::vector<VideoFramePtr> seeds = Seeds();
  std::mt19937 rng(1210);
  FrameRenderer renderer;
  renderer.resize(320, 180);
  renderer.show();
  auto settled = [&] {
    const auto s = renderer.stats();
    return s.decoded + s.dropped + s.failed == s.presented;
  };
  for (int n = 0; n < kRendererFrames; ++n) {
    renderer.Present(Damage(*seeds[rng() % seeds.size()], rng));
    // Mostly one at a time, so that each is decoded; now and then a burst.
    if (n % 25 != 0) {
      ASSERT_TRUE(WaitFor(settled, 30000)) << "the window stalled at hostile frame " << n;
    }
    if (n % 100 == 99) renderer.resize(160 + static_cast<int>(rng() % 400), 90 + static_cast<int>(rng() % 300));
  }
  const QColor colour(40, 160, 220);
  QImage solid(320, 240, QImage::Format_RGB888);
  solid.fill(colour);
  renderer.Present(JpegFrame(EncodeJpeg(solid), 320, 240));
  ASSERT_TRUE(WaitFor(settled, 30000));
  const auto stats = renderer.stats();
  EXPECT_EQ(stats.presented, static_cast<std::uint64_t>(kRendererFrames) + 1);
  EXPECT_GT(stats.failed, 0u);
  const QImage shown = renderer.grab().toImage();
  EXPECT_TRUE(Near(shown.pixelColor(shown.width() / 2, shown.height() / 2), colour, 14))
      << "the good frame after the hostile ones is not shown";
}

}  // namespace
}  // namespace kinovo::streamtest
