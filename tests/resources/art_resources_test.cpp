// The artwork compiled into the program: every picture is present at
// :/png/<id>.png with the size, grid and margins its users cut it by.
#include <QByteArray>
#include <QFile>
#include <QImage>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <utility>

namespace {

QString resourcePath(int id)
{
    return QStringLiteral(":/png/%1.png").arg(id);
}

QByteArray resourceBytes(int id)
{
    QFile file(resourcePath(id));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// Pixels as non-premultiplied ARGB, whatever format the decoder chose.
QImage loadPicture(int id)
{
    return QImage(resourcePath(id)).convertToFormat(QImage::Format_ARGB32);
}

std::uint32_t bigEndian32(const QByteArray &bytes, int at)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v = (v << 8) | static_cast<std::uint8_t>(bytes[at + i]);
    return v;
}

struct PictureSize {
    int id;
    int width, height;
};

void PrintTo(const PictureSize &p, std::ostream *os)
{
    *os << "PNG " << p.id << " (" << p.width << " x " << p.height << ")";
}

class ArtResource : public testing::TestWithParam<PictureSize> {};

TEST_P(ArtResource, IsAnRgbaPngOfTheTableSize)
{
    const PictureSize expected = GetParam();
    const QByteArray png = resourceBytes(expected.id);
    ASSERT_GE(png.size(), 33) << "resource " << expected.id << " missing or truncated";

    EXPECT_EQ(png.left(8), QByteArray("\x89PNG\r\n\x1a\n", 8));
    // The first chunk is IHDR: length 13, then width, height, bit depth,
    // colour type, compression, filter, interlace.
    ASSERT_EQ(bigEndian32(png, 8), 13u);
    ASSERT_EQ(png.mid(12, 4), QByteArray("IHDR"));
    EXPECT_EQ(bigEndian32(png, 16), static_cast<std::uint32_t>(expected.width));
    EXPECT_EQ(bigEndian32(png, 20), static_cast<std::uint32_t>(expected.height));
    EXPECT_EQ(static_cast<int>(png[24]), 8) << "bit depth";
    EXPECT_EQ(static_cast<int>(png[25]), 6) << "colour type (RGBA)";
    EXPECT_EQ(static_cast<int>(png[28]), 0) << "interlace method";

    const QImage image(resourcePath(expected.id));
    ASSERT_FALSE(image.isNull()) << "resource " << expected.id << " does not decode";
    EXPECT_EQ(image.size(), QSize(expected.width, expected.height));
    EXPECT_TRUE(image.hasAlphaChannel());
}

INSTANTIATE_TEST_SUITE_P(AllPictures, ArtResource,
                         testing::Values(PictureSize{128, 256, 256}, PictureSize{129, 800, 600},
                                         PictureSize{131, 416, 96}, PictureSize{133, 300, 300},
                                         PictureSize{135, 300, 300}, PictureSize{136, 1000, 1000},
                                         PictureSize{138, 800, 32}, PictureSize{139, 42, 108},
                                         PictureSize{140, 420, 320}, PictureSize{143, 224, 64}),
                         [](const testing::TestParamInfo<PictureSize> &info) {
                             return "Png" + std::to_string(info.param.id);
                         });

TEST(ArtResource, UnknownIdIsAbsent)
{
    EXPECT_FALSE(QFile::exists(resourcePath(130)));
    EXPECT_TRUE(QImage(resourcePath(130)).isNull());
}

// --- sprite sheets ---------------------------------------------------------

int visiblePixels(const QImage &image, const QRect &cell)
{
    int count = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x)
            count += qAlpha(image.pixel(x, y)) >= 128;
    return count;
}

bool fullyTransparent(const QImage &image, const QRect &cell)
{
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return false;
    return true;
}

struct Sheet {
    int id;
    QSize cell;
    int columns, rows;
    int drawnCells; // cells in reading order that hold a picture
};

void PrintTo(const Sheet &s, std::ostream *os)
{
    *os << "PNG " << s.id << " (" << s.columns << " x " << s.rows << " cells)";
}

class SpriteSheet : public testing::TestWithParam<Sheet> {};

TEST_P(SpriteSheet, DrawnCellsHoldAPictureAndTheRestAreEmpty)
{
    const Sheet sheet = GetParam();
    const QImage image = loadPicture(sheet.id);
    ASSERT_EQ(image.size(),
              QSize(sheet.cell.width() * sheet.columns, sheet.cell.height() * sheet.rows));
    // A picture covers a fair part of its cell, not a stray pixel or two.
    const int minimum = sheet.cell.width() * sheet.cell.height() / 10;
    for (int row = 0; row < sheet.rows; ++row) {
        for (int column = 0; column < sheet.columns; ++column) {
            const QRect cell(QPoint(column * sheet.cell.width(), row * sheet.cell.height()),
                             sheet.cell);
            const int index = row * sheet.columns + column;
            if (index < sheet.drawnCells)
                EXPECT_GE(visiblePixels(image, cell), minimum)
                    << "sheet " << sheet.id << " cell " << column << "," << row << " is empty";
            else
                EXPECT_TRUE(fullyTransparent(image, cell))
                    << "sheet " << sheet.id << " cell " << column << "," << row
                    << " should be transparent";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllSheets, SpriteSheet,
                         testing::Values(Sheet{131, {32, 32}, 13, 3, 39},
                                         Sheet{138, {32, 32}, 25, 1, 25},
                                         Sheet{139, {42, 36}, 1, 3, 3},
                                         Sheet{143, {32, 32}, 7, 2, 14}),
                         [](const testing::TestParamInfo<Sheet> &info) {
                             return "Png" + std::to_string(info.param.id);
                         });

QImage cellOf(const QImage &sheet, int x, int y, QSize size = {32, 32})
{
    return sheet.copy(QRect(QPoint(x, y), size));
}

TEST(SpriteSheet, EveryButtonHasThreeDifferentLooks)
{
    const QImage sheet = loadPicture(131);
    for (int x = 0; x < 416; x += 32) {
        const QImage plain = cellOf(sheet, x, 0), boxed = cellOf(sheet, x, 32),
                     faded = cellOf(sheet, x, 64);
        EXPECT_NE(plain, boxed) << "column x = " << x;
        EXPECT_NE(plain, faded) << "column x = " << x;
        EXPECT_NE(boxed, faded) << "column x = " << x;
    }
}

TEST(SpriteSheet, ButtonPicturesAreDistinct)
{
    // The thirteen highlighted cells are cut as separate button states.
    const QImage sheet = loadPicture(131);
    for (int a = 0; a < 416; a += 32)
        for (int b = a + 32; b < 416; b += 32)
            EXPECT_NE(cellOf(sheet, a, 32), cellOf(sheet, b, 32)) << "x = " << a << " and " << b;
}

TEST(SpriteSheet, LogoAndSettingIconsDifferBetweenLooks)
{
    const QImage logo = loadPicture(139);
    const QSize logoCell(42, 36);
    EXPECT_NE(cellOf(logo, 0, 0, logoCell), cellOf(logo, 0, 36, logoCell));
    EXPECT_NE(cellOf(logo, 0, 36, logoCell), cellOf(logo, 0, 72, logoCell));
    EXPECT_NE(cellOf(logo, 0, 0, logoCell), cellOf(logo, 0, 72, logoCell));

    const QImage icons = loadPicture(143);
    for (int x = 0; x < 224; x += 32)
        EXPECT_NE(cellOf(icons, x, 0), cellOf(icons, x, 32)) << "icon x = " << x;
}

TEST(SpriteSheet, BadgesWithDifferentLetteringDiffer)
{
    // Cells 0 and 3 both read "4:3"; the wide SD, HD and FHD class badges
    // (10, 12, 14) are the table's 640 x 360, 720p and 1080p ones (1, 6, 8).
    // Every other pair differs in text or in shape.
    const std::set<std::pair<int, int>> alike{{0, 3}, {1, 10}, {6, 12}, {8, 14}};
    const QImage badges = loadPicture(138);
    for (int a = 0; a < 25; ++a) {
        for (int b = a + 1; b < 25; ++b) {
            if (alike.count({a, b}))
                continue;
            EXPECT_NE(cellOf(badges, a * 32, 0), cellOf(badges, b * 32, 0))
                << "badges " << a << " and " << b;
        }
    }
}

// --- nine-slice skins ----------------------------------------------------------

struct NineSlice {
    int id;
    int left, top, right, bottom;
};

void PrintTo(const NineSlice &s, std::ostream *os)
{
    *os << "PNG " << s.id << " (margins " << s.left << ", " << s.top << ", " << s.right << ", "
        << s.bottom << ")";
}

class SkinEdges : public testing::TestWithParam<NineSlice> {};

// Edges are stretched along their length (nearest neighbour): each edge
// cell must repeat one column (top, bottom) or one row (left, right), or
// the stretching would show.
TEST_P(SkinEdges, EdgesAreUniformAlongTheirStretch)
{
    const NineSlice s = GetParam();
    const QImage image = loadPicture(s.id);
    const int w = image.width(), h = image.height();
    const auto columnsRepeat = [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y)
            for (int x = s.left + 1; x < w - s.right; ++x)
                if (image.pixel(x, y) != image.pixel(s.left, y))
                    return testing::AssertionFailure() << "pixel " << x << "," << y;
        return testing::AssertionSuccess();
    };
    const auto rowsRepeat = [&](int x0, int x1) {
        for (int x = x0; x < x1; ++x)
            for (int y = s.top + 1; y < h - s.bottom; ++y)
                if (image.pixel(x, y) != image.pixel(x, s.top))
                    return testing::AssertionFailure() << "pixel " << x << "," << y;
        return testing::AssertionSuccess();
    };
    EXPECT_TRUE(columnsRepeat(0, s.top)) << "top edge";
    EXPECT_TRUE(columnsRepeat(h - s.bottom, h)) << "bottom edge";
    EXPECT_TRUE(rowsRepeat(0, s.left)) << "left edge";
    EXPECT_TRUE(rowsRepeat(w - s.right, w)) << "right edge";
}

INSTANTIATE_TEST_SUITE_P(AllSkins, SkinEdges,
                         testing::Values(NineSlice{129, 15, 15, 15, 15},
                                         NineSlice{133, 50, 20, 15, 15},
                                         NineSlice{135, 50, 15, 15, 32}),
                         [](const testing::TestParamInfo<NineSlice> &info) {
                             return "Png" + std::to_string(info.param.id);
                         });

bool uniform(const QImage &image, const QRect &area, QRgb expected)
{
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixel(x, y) != expected)
                return false;
    return true;
}

TEST(SkinCentre, PanelCentresAreOneFlatColour)
{
    // The panels stretch their centre both ways.
    for (const NineSlice s : {NineSlice{133, 50, 20, 15, 15}, NineSlice{135, 50, 15, 15, 32}}) {
        const QImage image = loadPicture(s.id);
        const QRect centre(s.left, s.top, image.width() - s.left - s.right,
                           image.height() - s.top - s.bottom);
        EXPECT_TRUE(uniform(image, centre, qRgba(250, 250, 250, 230))) << "skin " << s.id;
    }
}

TEST(SkinCentre, MainSkinCentreIsThePanelGrey)
{
    // The main window leaves its centre out (the picture shows there); the
    // PNG still fills it with the innermost panel grey so that the skin is a
    // complete panel wherever it is drawn whole.
    const QImage image = loadPicture(129);
    EXPECT_TRUE(uniform(image, QRect(15, 15, 770, 570), qRgba(237, 237, 237, 219)));
}

TEST(MainSkin, FrameIsTranslucentLightGreyInsideADarkBorderAndShadow)
{
    const QImage image = loadPicture(129);
    // Across the top edge, from the outside in.
    EXPECT_EQ(qAlpha(image.pixel(400, 0)), 0) << "shadow fades out inside the margin";
    EXPECT_GT(qAlpha(image.pixel(400, 5)), 0) << "soft shadow";
    EXPECT_LT(qGray(image.pixel(400, 7)), 80) << "dark border";
    for (int y = 9; y < 15; ++y) {
        const QRgb p = image.pixel(400, y);
        EXPECT_EQ(qAlpha(p), 219) << "y = " << y;
        EXPECT_TRUE(qRed(p) == qGreen(p) && qGreen(p) == qBlue(p)) << "y = " << y;
        EXPECT_GE(qRed(p), 237) << "y = " << y;
        EXPECT_LE(qRed(p), 252) << "y = " << y;
    }
    // The bottom shadow is the stronger one (light from above).
    EXPECT_GT(qAlpha(image.pixel(400, 596)), qAlpha(image.pixel(400, 3)));
    // Rounded: the corner of the panel rectangle lies outside the rounding.
    EXPECT_LT(qAlpha(image.pixel(7, 7)), qAlpha(image.pixel(400, 7)));
}

// The pointer of each bubble lies inside the corner cell the nine-slice
// keeps unstretched: only there do opaque pixels reach past the body.
TEST(PanelPointer, SettingsPanelPointsUpFromItsTopLeftCorner)
{
    const QImage image = loadPicture(133);
    bool tipInCorner = false;
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 300; ++x)
            if (qAlpha(image.pixel(x, y)) >= 128) {
                EXPECT_LT(x, 50) << "pointer pixel outside the corner cell at " << x << "," << y;
                tipInCorner = true;
            }
    EXPECT_TRUE(tipInCorner);
    EXPECT_GE(qAlpha(image.pixel(32, 4)), 200) << "tip above the button centre";
}

TEST(PanelPointer, ListPanelPointsDownFromItsBottomLeftCorner)
{
    const QImage image = loadPicture(135);
    bool tipInCorner = false;
    for (int y = 290; y < 300; ++y)
        for (int x = 0; x < 300; ++x)
            if (qAlpha(image.pixel(x, y)) >= 128) {
                EXPECT_LT(x, 50) << "pointer pixel outside the corner cell at " << x << "," << y;
                tipInCorner = true;
            }
    EXPECT_TRUE(tipInCorner);
    EXPECT_GE(qAlpha(image.pixel(32, 295)), 200) << "tip below the button centre";
}

// --- whole pictures --------------------------------------------------------------

TEST(ShutterIris, ApertureAndSurroundingsAreTransparent)
{
    const QImage image = loadPicture(136);
    EXPECT_EQ(qAlpha(image.pixel(500, 500)), 0) << "open aperture";
    for (const QPoint corner : {QPoint(0, 0), QPoint(999, 0), QPoint(0, 999), QPoint(999, 999),
                                QPoint(80, 80)})
        EXPECT_EQ(qAlpha(image.pixel(corner)), 0) << "outside the barrel";
    for (const QPoint blade : {QPoint(500, 250), QPoint(750, 500), QPoint(500, 750),
                               QPoint(250, 500)})
        EXPECT_EQ(qAlpha(image.pixel(blade)), 255) << "blades";
}

TEST(AboutSkin, ThinRuleRunsAcrossAboveTheOkArea)
{
    const QImage image = loadPicture(140);
    for (int x = 30; x <= 390; x += 20) {
        EXPECT_LT(qGray(image.pixel(x, 242)), qGray(image.pixel(x, 236)) - 10) << "x = " << x;
        EXPECT_LT(qGray(image.pixel(x, 242)), qGray(image.pixel(x, 250)) - 10) << "x = " << x;
    }
}

} // namespace
