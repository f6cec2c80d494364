#include "pngdialog.h"
#include "resources.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <vector>

namespace {

// A dialog that exposes its state and records what each paint saw.
class ProbeDialog : public CPNGDialog {
public:
    using CPNGDialog::CPNGDialog;
    using CPNGDialog::DrawContentAboveChildren;
    using CPNGDialog::m_bFadeStarted;
    using CPNGDialog::m_bMaximized;
    using CPNGDialog::m_nAlpha;
    using CPNGDialog::m_pBackground;
    using CPNGDialog::m_pCellTopLeft;

    void DrawContent(Graphics* g) override
    {
        alphas.push_back(m_nAlpha);
        if (fill) g->fillRect(20, 20, 10, 10, Qt::red);
    }

    std::vector<int> alphas;
    bool fill = false;
};

void Pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

template <typename Pred>
bool PumpUntil(Pred pred, int ms = 3000)
{
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
    return pred();
}

QImage Sheet(int w, int h)
{
    QImage img(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.setPixel(x, y, qRgba(x & 0xFF, y & 0xFF, (x * 7 + y) & 0xFF, 200));
    return img;
}

} // namespace

TEST(NineSlice, ListPanelCornersKeepTheirSizeAtAnyWindowSize)
{
    // Source cells of a 300 x 300 skin with margins 50, 15, 15, 32.
    const auto src = NineSliceSourceRects(300, 300, 50, 15, 15, 32);
    EXPECT_EQ(src[0], QRect(0, 0, 50, 15));     // top-left
    EXPECT_EQ(src[1], QRect(50, 0, 235, 15));   // top
    EXPECT_EQ(src[2], QRect(285, 0, 15, 15));   // top-right
    EXPECT_EQ(src[3], QRect(285, 15, 15, 253)); // right
    EXPECT_EQ(src[4], QRect(285, 268, 15, 32)); // bottom-right
    EXPECT_EQ(src[5], QRect(50, 268, 235, 32)); // bottom
    EXPECT_EQ(src[6], QRect(0, 268, 50, 32));   // bottom-left holds the pointer
    EXPECT_EQ(src[7], QRect(0, 15, 50, 253));   // left
    EXPECT_EQ(src[8], QRect(50, 15, 235, 253)); // centre

    for (QSize win : {QSize(280, 156), QSize(280, 314), QSize(900, 700)}) {
        const int W = win.width(), H = win.height();
        const auto dst = NineSliceDestRects(W, H, 50, 15, 15, 32);
        EXPECT_EQ(dst[0], QRect(0, 0, 50, 15));
        EXPECT_EQ(dst[1], QRect(W - 15, 0, 15, 15));
        EXPECT_EQ(dst[2], QRect(W - 15, H - 32, 15, 32));
        EXPECT_EQ(dst[3], QRect(0, H - 32, 50, 32));
        EXPECT_EQ(dst[4], QRect(50, 0, W - 65, 15));
        EXPECT_EQ(dst[5], QRect(W - 15, 15, 15, H - 47));
        EXPECT_EQ(dst[6], QRect(50, H - 32, W - 65, 32));
        EXPECT_EQ(dst[7], QRect(0, 15, 50, H - 47));
        EXPECT_EQ(dst[8], QRect(50, 15, W - 65, H - 47));
    }
}

TEST(CutCell, CopiesOnlyRectanglesFullyInsideTheSheet)
{
    const QImage sheet = Sheet(416, 96);
    struct Case {
        int x, y, w, h;
        bool ok;
    } cases[] = {
        {0, 32, 32, 32, true},      {384, 64, 32, 32, true},  {416, 32, 32, 32, false},
        {385, 0, 32, 32, false},    {0, 65, 32, 32, false},   {-1, 0, 32, 32, false},
        {0, -1, 32, 32, false},     {0, 0, 0, 32, false},     {0, 0, 32, -5, false},
        {1, 0, 0x7fffffff, 1, false}, {0, 0, 416, 96, true},
    };
    for (const Case& c : cases) {
        const Image cell = CutCell(&sheet, c.x, c.y, c.w, c.h);
        EXPECT_EQ(cell != nullptr, c.ok) << c.x << "," << c.y << " " << c.w << "x" << c.h;
        if (cell) {
            EXPECT_EQ(cell->size(), QSize(c.w, c.h));
            EXPECT_EQ(cell->pixel(0, 0), sheet.pixel(c.x, c.y));
            EXPECT_EQ(cell->format(), sheet.format());
        }
    }
    EXPECT_EQ(CutCell(nullptr, 0, 0, 1, 1), nullptr);
    const QImage unusable;
    EXPECT_EQ(CutCell(&unusable, 0, 0, 1, 1), nullptr);
}

TEST(CutCell, CellsOutliveTheirSheet)
{
    auto sheet = std::make_unique<QImage>(Sheet(416, 96));
    std::vector<Image> cells;
    for (int x = 0; x <= 384; x += 32) cells.push_back(CutCell(sheet.get(), x, 32, 32, 32));
    const QRgb expected = sheet->pixel(384 + 5, 32 + 6);
    sheet.reset();
    ASSERT_EQ(cells.size(), 13u);
    for (const Image& c : cells) ASSERT_NE(c, nullptr);
    EXPECT_EQ(cells.back()->pixel(5, 6), expected);
    EXPECT_NE(cells[0]->pixel(5, 6), cells[1]->pixel(5, 6));
}

TEST(Resources, KnownPngsLoadAndUnknownIdsGiveNull)
{
    EXPECT_EQ(LoadPngResource(9999), nullptr);
    const struct {
        unsigned id;
        QSize size;
    } table[] = {{129, {800, 600}}, {131, {416, 96}}, {133, {300, 300}}, {135, {300, 300}}, {136, {1000, 1000}},
                 {138, {800, 32}},  {139, {42, 108}}, {140, {420, 320}}, {143, {224, 64}}};
    for (const auto& t : table) {
        const Image img = LoadPngResource(t.id);
        ASSERT_NE(img, nullptr) << t.id;
        EXPECT_EQ(img->size(), t.size) << t.id;
        EXPECT_TRUE(img->hasAlphaChannel()) << t.id;
    }
}

TEST(Fade, StepsOfTwentyEndExactlyAt255)
{
    std::vector<int> seq;
    for (int a = 0; a < 255; a = NextFadeAlpha(a)) seq.push_back(NextFadeAlpha(a));
    const std::vector<int> expected{20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 220, 240, 255};
    EXPECT_EQ(seq, expected);
    EXPECT_EQ(NextFadeAlpha(250), 255);
    EXPECT_EQ(NextFadeAlpha(236), 255);
    EXPECT_EQ(NextFadeAlpha(235), 255);
    EXPECT_EQ(NextFadeAlpha(234), 254);
}

TEST(Fade, FirstShowFadesInByPaintingAtEachStep)
{
    ProbeDialog dlg(132, 135, 50, 15, 15, 32, true);
    ASSERT_TRUE(dlg.Create(132, nullptr));
    dlg.SetGeometry(QRect(100, 100, 280, 156));
    dlg.Show();
    EXPECT_TRUE(dlg.m_bFadeStarted);
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_nAlpha == 255 && !dlg.alphas.empty() && dlg.alphas.back() == 255; }));
    // The paints saw the steps in order (a busy machine may merge two), and
    // nothing went above 255.
    const std::vector<int> steps{0, 20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 220, 240, 255};
    for (std::size_t i = 0; i < dlg.alphas.size(); ++i) {
        EXPECT_NE(std::find(steps.begin(), steps.end(), dlg.alphas[i]), steps.end()) << dlg.alphas[i];
        if (i > 0) EXPECT_GE(dlg.alphas[i], dlg.alphas[i - 1]);
    }
    EXPECT_GE(dlg.alphas.size(), 4u) << "a fade, not a jump";
    // The window's own opacity is never used: the alpha is in its pixels.
    EXPECT_EQ(dlg.GetSafeHwnd()->windowOpacity(), 1.0);

    // Shown again without a reset: no new fade.
    dlg.Hide();
    dlg.alphas.clear();
    dlg.Show();
    Pump(60);
    for (int a : dlg.alphas) EXPECT_EQ(a, 255);
}

TEST(Fade, DestroyingTheDialogMidFadeIsSafe)
{
    for (int i = 0; i < 5; ++i) {
        ProbeDialog dlg(132, 135, 50, 15, 15, 32, true);
        ASSERT_TRUE(dlg.Create(132, nullptr));
        dlg.Show();
        Pump(15 + i * 5);
        dlg.DestroyWindow();
        EXPECT_LT(dlg.m_nAlpha, 256);
        Pump(30);
    }
}

TEST(Surface, SizeTypesWithTheMaximizedBitHideTheSkin)
{
    ProbeDialog dlg(102, 129, 15, 15, 15, 15, false);
    ASSERT_TRUE(dlg.Create(102, nullptr));
    dlg.SetGeometry(QRect(50, 60, 670, 510));
    dlg.m_nAlpha = 255;
    const struct {
        unsigned type;
        bool maximized;
    } cases[] = {{0, false}, {2, true}, {1, false}, {3, true}, {4, false}};
    for (const auto& c : cases) {
        dlg.OnSize(c.type, 670, 510);
        EXPECT_EQ(dlg.m_bMaximized, c.maximized) << c.type;
    }
    dlg.OnSize(2, 670, 510);
    EXPECT_EQ(qAlpha(dlg.Picture().pixel(7, 7)), 0) << "no skin while maximized";
    dlg.OnSize(0, 670, 510);
    EXPECT_GT(qAlpha(dlg.Picture().pixel(12, 12)), 0);
}

TEST(Surface, MainSkinKeepsCornersCentreStaysTransparent)
{
    ProbeDialog dlg(102, 129, 15, 15, 15, 15, false);
    ASSERT_TRUE(dlg.Create(102, nullptr));
    ASSERT_NE(dlg.m_pCellTopLeft, nullptr);
    dlg.m_nAlpha = 255;
    const Image skin = LoadPngResource(129);
    ASSERT_NE(skin, nullptr);
    const QImage skinArgb = skin->convertToFormat(QImage::Format_ARGB32_Premultiplied);
    for (QSize size : {QSize(670, 510), QSize(1566, 894)}) {
        dlg.SetGeometry(QRect(QPoint(0, 0), size));
        const QImage pic = dlg.Picture().convertToFormat(QImage::Format_ARGB32_Premultiplied);
        ASSERT_EQ(pic.size(), size);
        const int W = size.width(), H = size.height();
        for (int y = 0; y < 15; ++y)
            for (int x = 0; x < 15; ++x) {
                ASSERT_EQ(pic.pixel(x, y), skinArgb.pixel(x, y));
                ASSERT_EQ(pic.pixel(W - 15 + x, H - 15 + y), skinArgb.pixel(800 - 15 + x, 600 - 15 + y));
            }
        for (QPoint p : {QPoint(15, 15), QPoint(W / 2, H / 2), QPoint(W - 16, H - 16)})
            EXPECT_EQ(qAlpha(pic.pixel(p)), 0) << p.x() << "," << p.y();
    }
}

// One surface: a child widget (the live picture) lies between the skin and
// the content, and a child dialog (a panel) is drawn inside its parent
// rather than as a window of its own.
TEST(Surface, ContentGoesOverTheChildrenAndPanelsStayInside)
{
    ProbeDialog dlg(102, 129, 15, 15, 15, 15, false);
    ASSERT_TRUE(dlg.Create(102, nullptr));
    dlg.fill = true;
    dlg.DrawContentAboveChildren();
    auto* picture = new QWidget(dlg.GetSafeHwnd());
    picture->setAutoFillBackground(true);
    QPalette pal = picture->palette();
    pal.setColor(QPalette::Window, Qt::blue);
    picture->setPalette(pal);
    picture->setGeometry(15, 15, 640, 480);
    picture->lower();
    dlg.SetGeometry(QRect(50, 60, 670, 510));
    dlg.Show();
    ASSERT_TRUE(PumpUntil([&] { return dlg.m_nAlpha == 255; }));

    ProbeDialog panel(132, 135, 50, 15, 15, 32, true);
    ASSERT_TRUE(panel.Create(132, &dlg));
    EXPECT_FALSE(panel.GetSafeHwnd()->isWindow());
    panel.SetGeometry(QRect(300, 200, 250, 160));
    panel.Show();
    ASSERT_TRUE(PumpUntil([&] { return panel.m_nAlpha == 255; }));
    CRect rc;
    panel.GetWindowRect(&rc);
    EXPECT_EQ(rc, (CRect{350, 260, 600, 420})) << "its place on the screen follows its parent's";

    const QImage shot = dlg.GetSafeHwnd()->grab().toImage();
    EXPECT_EQ(shot.pixelColor(25, 25), QColor(Qt::red)) << "the content is drawn over the picture";
    EXPECT_EQ(shot.pixelColor(100, 100), QColor(Qt::blue)) << "the picture shows beneath";
    EXPECT_NE(shot.pixelColor(300 + 120, 200 + 60), QColor(Qt::blue)) << "the panel is drawn over the picture";
}

TEST(Skins, AboutSkinIsOneWholeImageWithoutCells)
{
    ProbeDialog about;
    EXPECT_EQ(about.m_pCellTopLeft, nullptr);
    ASSERT_NE(about.m_pBackground, nullptr);
    EXPECT_EQ(about.m_pBackground->size(), QSize(420, 320));
    ProbeDialog list(132, 135, 50, 15, 15, 32, true);
    ASSERT_NE(list.m_pBackground, nullptr);
    EXPECT_EQ(list.m_pBackground->size(), QSize(235, 253)) << "the centre cell replaces the whole skin";
    ProbeDialog missing(132, 9999, 50, 15, 15, 32, true);
    EXPECT_EQ(missing.m_pBackground, nullptr);
    EXPECT_EQ(missing.m_pCellTopLeft, nullptr);
}

struct ZoneCase {
    int x, y, zone;
    bool interior;
};

TEST(Zones, BordersAreInclusiveTheInteriorStrict)
{
    const int W = 670, H = 510;
    const ZoneCase cases[] = {
        {15, 200, 8, false}, {16, 200, 0, true},   {W - 15, 200, 4, false}, {W - 16, 200, 0, true},
        {300, 15, 2, false}, {300, 16, 0, true},   {300, H - 15, 6, false}, {300, H - 16, 0, true},
        {0, 0, 1, false},    {W - 1, 0, 3, false}, {W - 1, H - 1, 5, false}, {0, H - 1, 7, false},
        {15, 15, 1, false},  {16, 15, 2, false},   {W - 15, H - 15, 5, false},
    };
    for (const ZoneCase& c : cases) {
        EXPECT_EQ(ResizeZone(c.x, c.y, W, H), c.zone) << c.x << "," << c.y;
        EXPECT_EQ(InInterior(c.x, c.y, W, H), c.interior) << c.x << "," << c.y;
    }
}

TEST(Zones, ResizeStepsKeepTheOppositeEdgeAndRespectExclusiveLimits)
{
    const CRect rc{100, 100, 770, 610}; // 670 x 510
    struct Case {
        int edge, px, py, gx, gy;
        CRect expected;
    } cases[] = {
        {4, 800, 0, 10, 0, {100, 100, 810, 610}},      // right: width = px + gx - left
        {8, 50, 0, -5, 0, {45, 100, 770, 610}},        // left moves, right edge stays
        {6, 0, 700, 0, 8, {100, 100, 770, 708}},       // bottom
        {2, 0, 60, 0, -4, {100, 56, 770, 610}},        // top moves, bottom stays
        {4, 400, 0, 0, 0, rc},                         // width 300 is not above the limit
        {4, 401, 0, 0, 0, {100, 100, 401, 610}},       // 301 is
        {6, 0, 300, 0, 0, rc},                         // height 200 is refused
        {5, 900, 300, 0, 0, rc},                       // corner: one limit fails, nothing changes
        {5, 900, 301, 0, 0, {100, 100, 900, 301}},
        {1, 469, 409, 1, 1, rc},                       // top-left at 300 x 200: refused
        {1, 468, 408, 1, 1, {469, 409, 770, 610}},
        {0, 1, 1, 0, 0, rc},
    };
    for (const Case& c : cases) {
        const CRect r = ResizeStep(c.edge, c.px, c.py, c.gx, c.gy, rc, 300, 200);
        EXPECT_EQ(r, c.expected) << "edge " << c.edge << " at " << c.px << "," << c.py;
    }
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
