// Decoding and scaling of camera frames for the video window.

#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <cmath>
#include <string>

#include "platform/media/stream/frame_decoder.h"
#include "support.h"

namespace kinovo::streamtest {
namespace {

using media::stream::ChooseJpegScale;
using media::stream::FrameDecoder;
using media::stream::JpegScale;
namespace fourcc = media::stream::fourcc;

void ExpectQuadrants(const QImage& picture, int tolerance = 14) {
  ASSERT_FALSE(picture.isNull());
  const Quadrants q;
  const int w = picture.width(), h = picture.height();
  for (const auto& [x, y] : {std::pair{w / 4, h / 4}, {3 * w / 4, h / 4}, {w / 4, 3 * h / 4}, {3 * w / 4, 3 * h / 4}}) {
    EXPECT_TRUE(Near(picture.pixelColor(x, y), q.At(x, y, w, h), tolerance))
        << "at " << x << "," << y << ": " << picture.pixelColor(x, y).name().toStdString() << " instead of "
        << q.At(x, y, w, h).name().toStdString();
  }
}

struct ScaleCase {
  QSize picture;
  QSize target;
  JpegScale expected;
};

TEST(ChooseJpegScale, ReducesAsFarAsTheTargetAllows) {
  const ScaleCase cases[] = {
      {{1920, 1080}, {960, 540}, {1, 2}},   {{1920, 1080}, {961, 540}, {1, 1}},
      {{1920, 1080}, {1536, 864}, {1, 1}},  {{1920, 1080}, {480, 270}, {1, 4}},
      {{1920, 1080}, {479, 100}, {1, 4}},   {{1920, 1080}, {100, 100}, {1, 8}},
      {{1920, 1080}, {3840, 2160}, {1, 1}}, {{1920, 1080}, {0, 0}, {1, 1}},
      {{1918, 1078}, {959, 539}, {1, 2}},  // scaled sizes round up
  };
  for (const ScaleCase& c : cases) {
    const JpegScale scale = ChooseJpegScale(c.picture, c.target);
    EXPECT_EQ(scale, c.expected) << c.picture.width() << "x" << c.picture.height() << " into "
                                 << c.target.width() << "x" << c.target.height() << " gave " << scale.num
                                 << "/" << scale.denom;
  }
}

struct JpegCase {
  int subsampling;
  QSize target;
  QSize decodedAt;
  friend void PrintTo(const JpegCase& c, std::ostream* os) {
    *os << "subsampling " << c.subsampling << " into " << c.target.width() << "x" << c.target.height();
  }
};

class JpegDecodeTest : public testing::TestWithParam<JpegCase> {};

// A 1080p camera picture shown smaller is decoded at a reduced scale and
// then brought to the exact size.
TEST_P(JpegDecodeTest, DecodesAtTheReducedScaleAndScalesToTheTarget) {
  const JpegCase& c = GetParam();
  static const QImage source = QuadrantImage(1920, 1080);
  const auto frame = JpegFrame(EncodeJpeg(source, 90, c.subsampling), 1920, 1080);
  FrameDecoder decoder;
  const QImage picture = decoder.Decode(*frame, c.target);
  ASSERT_FALSE(picture.isNull());
  EXPECT_EQ(picture.size(), c.target);
  EXPECT_EQ(decoder.lastJpegSize(), c.decodedAt);
  if (c.subsampling != TJSAMP_GRAY) ExpectQuadrants(picture);
}

INSTANTIATE_TEST_SUITE_P(Sizes, JpegDecodeTest,
                         testing::Values(JpegCase{TJSAMP_422, {960, 540}, {960, 540}},
                                         JpegCase{TJSAMP_422, {1536, 864}, {1920, 1080}},
                                         JpegCase{TJSAMP_420, {400, 225}, {480, 270}},
                                         JpegCase{TJSAMP_444, {1920, 1080}, {1920, 1080}},
                                         JpegCase{TJSAMP_GRAY, {640, 360}, {960, 540}}));

// A smooth picture with a few hard edges, whose scaled versions differ
// little between good scalers.
QImage Smooth(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  for (int y = 0; y < height; ++y) {
    auto* row = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < width; ++x) {
      const double fx = double(x) / width, fy = double(y) / height;
      const bool box = fx > 0.3 && fx < 0.6 && fy > 0.2 && fy < 0.7;
      row[x] = qRgb(static_cast<int>(40 + 180 * fx), static_cast<int>(box ? 220 : 60 + 120 * fy),
                     static_cast<int>(128 + 100 * std::sin(6 * fx + 4 * fy)));
    }
  }
  return image;
}

struct ReferenceCase {
  QSize frame;
  int subsampling;
  QSize target;
  friend void PrintTo(const ReferenceCase& c, std::ostream* os) {
    *os << c.frame.width() << "x" << c.frame.height() << " subsampling " << c.subsampling << " into "
        << c.target.width() << "x" << c.target.height();
  }
};

class ReferenceTest : public testing::TestWithParam<ReferenceCase> {};

// Every row of the picture, the last ones too, is what an exact decode
// scaled by Qt gives, within the differences of two bilinear scalers.
TEST_P(ReferenceTest, EveryRowMatchesAnExactDecodeScaledByQt) {
  const ReferenceCase& c = GetParam();
  const auto jpeg = EncodeJpeg(Smooth(c.frame.width(), c.frame.height()), 95, c.subsampling);
  tjhandle tj = tjInitDecompress();
  QImage exact(c.frame, QImage::Format_RGB32);
  ASSERT_EQ(tjDecompress2(tj, jpeg.data(), jpeg.size(), exact.bits(), c.frame.width(),
                          static_cast<int>(exact.bytesPerLine()), c.frame.height(), TJPF_BGRX, 0),
            0);
  tjDestroy(tj);
  const QImage reference = exact.scaled(c.target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);

  FrameDecoder decoder;
  const QImage picture = decoder.Decode(*JpegFrame(jpeg, c.frame.width(), c.frame.height()), c.target);
  ASSERT_EQ(picture.size(), c.target);
  double worstRow = 0, total = 0;
  int worstAt = -1;
  for (int y = 0; y < c.target.height(); ++y) {
    const auto* got = reinterpret_cast<const QRgb*>(picture.constScanLine(y));
    const auto* want = reinterpret_cast<const QRgb*>(reference.constScanLine(y));
    double row = 0;
    for (int x = 0; x < c.target.width(); ++x) {
      row += std::abs(qRed(got[x]) - qRed(want[x])) + std::abs(qGreen(got[x]) - qGreen(want[x])) +
             std::abs(qBlue(got[x]) - qBlue(want[x]));
    }
    row /= 3.0 * c.target.width();
    total += row;
    if (row > worstRow) worstRow = row, worstAt = y;
  }
  EXPECT_LT(total / c.target.height(), 2.5);
  EXPECT_LT(worstRow, 8) << "row " << worstAt;
}

INSTANTIATE_TEST_SUITE_P(Sizes, ReferenceTest,
                         testing::Values(ReferenceCase{{1920, 1080}, TJSAMP_422, {1536, 864}},
                                         ReferenceCase{{1920, 1080}, TJSAMP_420, {1001, 563}},
                                         ReferenceCase{{1280, 720}, TJSAMP_444, {610, 343}},
                                         ReferenceCase{{640, 480}, TJSAMP_422, {1536, 864}},
                                         ReferenceCase{{320, 240}, TJSAMP_420, {333, 251}},
                                         ReferenceCase{{640, 480}, TJSAMP_GRAY, {500, 375}}));

// Drawn into part of a larger image, a picture is exactly the one Decode()
// gives, inside the clip and nowhere else, also where it reaches past the
// image's edge.
TEST(FrameDecoder, DrawsOnlyInsideTheClip) {
  using media::stream::DecodedPicture;
  const QColor untouched(255, 0, 255);
  struct Case {
    const char* what;
    media::stream::VideoFramePtr frame;
    QSize size;
  };
  const Case cases[] = {
      {"4:2:2 JPEG, scaled", JpegFrame(EncodeJpeg(Smooth(640, 480), 90, TJSAMP_422), 640, 480), {301, 203}},
      {"4:2:0 JPEG, same size", JpegFrame(EncodeJpeg(Smooth(320, 240), 90, TJSAMP_420), 320, 240), {320, 240}},
      {"YUYV, scaled", RawFrame(Smooth(320, 240), fourcc::kYUYV), {301, 203}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FrameDecoder decoder;
    const QImage whole = decoder.Decode(*c.frame, c.size);
    ASSERT_FALSE(whole.isNull());
    DecodedPicture picture;
    ASSERT_TRUE(decoder.DecodeForDrawing(*c.frame, c.size, picture));

    // The picture at (11, 7); the image ends 20 rows before the picture does.
    QImage image(c.size.width() + 40, c.size.height() - 13, QImage::Format_ARGB32_Premultiplied);
    image.fill(untouched);
    const QRect rect(QPoint(11, 7), c.size);
    const QRegion clip = QRegion(15, 9, 100, 51) + QRegion(41, 120, 250, 500) + QRegion(0, 0, 5, 5);
    ASSERT_TRUE(decoder.Draw(picture, image, rect, clip));
    int wrong = 0;
    for (int y = 0; y < image.height(); ++y) {
      for (int x = 0; x < image.width(); ++x) {
        const bool inside = clip.contains(QPoint(x, y)) && rect.contains(QPoint(x, y));
        const QRgb want = inside ? whole.pixel(x - rect.x(), y - rect.y()) : untouched.rgba();
        if ((image.pixel(x, y) | 0xFF000000u) != (want | 0xFF000000u)) ++wrong;
      }
    }
    EXPECT_EQ(wrong, 0);
  }
}

struct RawCase {
  std::uint32_t pixelFormat;
  int bytesPerLine;  // for a 160-pixel row; 0: tight
  friend void PrintTo(const RawCase& c, std::ostream* os) {
    const char text[5] = {char(c.pixelFormat), char(c.pixelFormat >> 8), char(c.pixelFormat >> 16),
                          char(c.pixelFormat >> 24), 0};
    *os << text << " stride " << c.bytesPerLine;
  }
};

class RawDecodeTest : public testing::TestWithParam<RawCase> {};

TEST_P(RawDecodeTest, ConvertsAndScalesEveryRawFormat) {
  const RawCase& c = GetParam();
  const auto frame = RawFrame(QuadrantImage(160, 120), c.pixelFormat, c.bytesPerLine);
  FrameDecoder decoder;
  for (const QSize target : {QSize(160, 120), QSize(80, 60), QSize(250, 90)}) {
    SCOPED_TRACE(std::to_string(target.width()) + "x" + std::to_string(target.height()));
    const QImage picture = decoder.Decode(*frame, target);
    ASSERT_EQ(picture.size(), target);
    if (c.pixelFormat == fourcc::kGREY) {
      const QColor tl = Quadrants{}.topLeft;
      const int luma = std::lround(0.299 * tl.red() + 0.587 * tl.green() + 0.114 * tl.blue());
      EXPECT_TRUE(Near(picture.pixelColor(target.width() / 4, target.height() / 4), QColor(luma, luma, luma), 3));
    } else {
      ExpectQuadrants(picture);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, RawDecodeTest,
                         testing::Values(RawCase{fourcc::kYUYV, 0}, RawCase{fourcc::kYUYV, 384},
                                         RawCase{fourcc::kUYVY, 0}, RawCase{fourcc::kYUV420, 192},
                                         RawCase{fourcc::kYVU420, 0}, RawCase{fourcc::kNV12, 0},
                                         RawCase{fourcc::kNV21, 176}, RawCase{fourcc::kBGR24, 0},
                                         RawCase{fourcc::kRGB24, 0}, RawCase{fourcc::kXBGR32, 0},
                                         RawCase{fourcc::kGREY, 0}));

TEST(FrameDecoder, DamagedFramesGiveNoPictureOrAPartialOne) {
  FrameDecoder decoder;
  auto raw = std::const_pointer_cast<media::stream::VideoFrame>(
      RawFrame(QuadrantImage(160, 120), fourcc::kYUYV));
  raw->Resize(raw->size() - 1);
  EXPECT_TRUE(decoder.Decode(*raw, {160, 120}).isNull());

  auto garbage = media::stream::VideoFrame::Create(5000);
  std::fill(garbage->bytes().begin(), garbage->bytes().end(), 0x42);
  garbage->format = {fourcc::kMJPEG, 320, 240, 0, {1, 30}};
  EXPECT_TRUE(decoder.Decode(*garbage, {320, 240}).isNull());

  // A JPEG cut short (a USB packet lost at its end) still shows what came.
  const auto jpeg = EncodeJpeg(QuadrantImage(320, 240));
  const auto cut = JpegFrame({jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 3 / 4)}, 320, 240);
  const QImage partial = decoder.Decode(*cut, {320, 240});
  ASSERT_FALSE(partial.isNull());
  EXPECT_TRUE(Near(partial.pixelColor(80, 60), Quadrants{}.topLeft, 14));
}

// A damaged frame between good ones: each good frame after it shows
// again (a TurboJPEG handle that failed once can fail on every later frame).
TEST(FrameDecoder, ShowsTheNextGoodFrameAfterADamagedOne) {
  const auto jpeg = EncodeJpeg(QuadrantImage(320, 240));
  const auto good = JpegFrame(jpeg, 320, 240);
  auto marker = [&](std::uint8_t code) {
    for (std::size_t i = 0; i + 1 < jpeg.size(); ++i) {
      if (jpeg[i] == 0xff && jpeg[i + 1] == code) return i;
    }
    ADD_FAILURE() << "no marker " << int(code);
    return std::size_t{0};
  };
  auto badTable = jpeg;
  badTable[marker(0xdb) + 4] = 0x0f;  // quantisation table number 15
  const std::vector<std::uint8_t> cutInHuffmanTable(jpeg.begin(), jpeg.begin() + marker(0xc4) + 12);
  auto giant = jpeg;
  const std::size_t sof = marker(0xc0);  // height and width say 65500
  giant[sof + 5] = giant[sof + 7] = 0xff;
  giant[sof + 6] = giant[sof + 8] = 0xdc;
  auto flipped = jpeg;
  flipped[2] ^= 0xff;  // the first marker after SOI
  const std::pair<const char*, std::vector<std::uint8_t>> damaged[] = {
      {"not a JPEG", std::vector<std::uint8_t>(5000, 0x42)},
      {"header cut short", {jpeg.begin(), jpeg.begin() + 40}},
      {"cut inside a Huffman table", cutInHuffmanTable},
      {"bad quantisation table number", badTable},
      {"first marker flipped", flipped},
      {"header claims 65500 x 65500", giant},
      {"end of image only", {0xff, 0xd9}},
      {"empty", {}},
  };
  FrameDecoder decoder;
  ExpectQuadrants(decoder.Decode(*good, {320, 240}));
  for (const auto& [what, bytes] : damaged) {
    SCOPED_TRACE(what);
    EXPECT_TRUE(decoder.Decode(*JpegFrame(bytes, 320, 240), {320, 240}).isNull());
    for (int i = 0; i < 3; ++i) ExpectQuadrants(decoder.Decode(*good, {160, 120}));
  }
}

TEST(FrameDecoder, WritesIntoAPictureThatNoOneElseHolds) {
  FrameDecoder decoder;
  const auto frame = RawFrame(QuadrantImage(160, 120), fourcc::kYUYV);
  QImage first = decoder.Decode(*frame, {80, 60});
  const uchar* pixels = first.constBits();
  const QImage second = decoder.Decode(*frame, {80, 60}, std::move(first));
  EXPECT_EQ(second.constBits(), pixels);

  QImage shared = decoder.Decode(*frame, {80, 60});
  const QImage holder = shared;  // someone still paints with it
  const QImage third = decoder.Decode(*frame, {80, 60}, std::move(shared));
  EXPECT_NE(third.constBits(), holder.constBits());
}

}  // namespace
}  // namespace kinovo::streamtest
