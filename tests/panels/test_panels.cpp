// The drawing primitives and the three panels, driven through their real
// windows (offscreen) and read back from the pictures they compose.
#include "aboutdlg.h"
#include "bottommenu.h"
#include "draw.h"
#include "menudlg.h"

#include "capture/image_adjustments.h"
#include "platform/media/memory_camera.h"

#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QUrl>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <vector>

namespace {

using kinovo::ImageProperty;
using kinovo::ImageSlot;
namespace media = kinovo::media;

template <typename Pred>
bool PumpUntil(Pred pred, int ms = 3000)
{
    QElapsedTimer t;
    t.start();
    while (!pred() && t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
    return pred();
}

void Pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Pointer input as the window system delivers it, through the dialog's window.
void Mouse(CDialog& d, QEvent::Type type, int x, int y, Qt::MouseButtons held)
{
    const QPointF local(x, y);
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, local, d.GetSafeHwnd()->mapToGlobal(local), button, held, Qt::NoModifier);
    QApplication::sendEvent(d.GetSafeHwnd(), &e);
}
void Move(CDialog& d, int x, int y, Qt::MouseButtons held = Qt::NoButton)
{
    Mouse(d, QEvent::MouseMove, x, y, held);
}
void Click(CDialog& d, int x, int y)
{
    Move(d, x, y);
    Mouse(d, QEvent::MouseButtonPress, x, y, Qt::LeftButton);
    Mouse(d, QEvent::MouseButtonRelease, x, y, Qt::NoButton);
}
void Key(CDialog& d, int key)
{
    QKeyEvent e(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(d.GetSafeHwnd(), &e);
}
bool HandCursor(CDialog& d) { return d.GetSafeHwnd()->cursor().shape() == Qt::PointingHandCursor; }

QSize WindowSize(CDialog& d)
{
    CRect rc;
    d.GetWindowRect(&rc);
    return {rc.Width(), rc.Height()};
}

// The picture the panel paints now, straight (not premultiplied) ARGB.
QImage Picture(CPNGDialog& d)
{
    return d.Picture().convertToFormat(QImage::Format_ARGB32);
}

bool Near(QRgb a, QRgb b, int tolerance)
{
    return std::abs(qRed(a) - qRed(b)) <= tolerance && std::abs(qGreen(a) - qGreen(b)) <= tolerance
        && std::abs(qBlue(a) - qBlue(b)) <= tolerance && std::abs(qAlpha(a) - qAlpha(b)) <= tolerance;
}

// The blue of the panels' texts, where a glyph covers most of a pixel.
bool TextInk(QRgb p) { return qAlpha(p) > 200 && qBlue(p) - qRed(p) > 60; }

// Leftmost and rightmost text ink in a band of rows; (-1, -1) for none.
std::pair<int, int> InkSpan(const QImage& pic, int top, int bottom)
{
    int left = -1, right = -1;
    for (int y = top; y < bottom; ++y)
        for (int x = 0; x < pic.width(); ++x)
            if (TextInk(pic.pixel(x, y))) {
                if (left < 0 || x < left) left = x;
                right = std::max(right, x);
            }
    return {left, right};
}

double ShoelaceArea(const QPolygonF& poly)
{
    double sum = 0;
    for (int i = 0; i < poly.size(); ++i) {
        const QPointF a = poly[i], b = poly[(i + 1) % poly.size()];
        sum += a.x() * b.y() - b.x() * a.y();
    }
    return sum / 2; // positive: clockwise on the screen
}

// The path followed closely (on its curves, not on a coarse flattening).
QPolygonF Trace(const QPainterPath& path)
{
    QPolygonF poly;
    constexpr int kSamples = 20000;
    for (int i = 0; i < kSamples; ++i) poly << path.pointAtPercent(static_cast<double>(i) / kSamples);
    return poly;
}

} // namespace

// ---------------------------------------------------------------- drawing primitives

TEST(RoundRectPath, OneClockwiseFigureWithQuarterCircleCorners)
{
    const double kPi = std::acos(-1.0);
    struct Case {
        QRectF rc;
        double r;
    } cases[] = {{{10, 6, 256, 40}, 0}, {{10, 6, 256, 40}, 3}, {{10, 6, 256, 40}, 4}, {{56, 34, 200, 9}, 3},
                 {{0, 0, 100, 60}, 10}};
    for (const Case& c : cases) {
        const QPainterPath path = MakeRoundRectPath(c.rc, c.r);
        const QList<QPolygonF> figures = path.toSubpathPolygons();
        ASSERT_EQ(figures.size(), 1) << c.r;
        const QPolygonF& poly = figures.front();
        EXPECT_EQ(poly.front(), QPointF(c.rc.x() + c.r, c.rc.y())) << "starts on the top edge";
        EXPECT_EQ(poly.back(), poly.front()) << "closed";
        const double expected = c.rc.width() * c.rc.height() - (4 - kPi) * c.r * c.r;
        // A corner arc bulging the wrong way, or sweeping the long way round,
        // changes the area by far more than this.
        EXPECT_NEAR(ShoelaceArea(Trace(path)), expected, 0.01 * c.r * c.r + 0.02) << c.r;
        EXPECT_EQ(path.boundingRect(), c.rc) << "touches all four sides";
        // Heading right along the top edge first, then down the right side.
        EXPECT_GT(path.pointAtPercent(0.02).x(), c.rc.x() + c.r);
        EXPECT_DOUBLE_EQ(path.pointAtPercent(0.02).y(), c.rc.y());
    }
    // A radius of 0 is the plain rectangle.
    const QPolygonF square = MakeRoundRectPath(QRectF(1, 2, 30, 20), 0).toSubpathPolygons().front();
    EXPECT_EQ(QPolygonF(square.begin(), square.end()).boundingRect(), QRectF(1, 2, 30, 20));
    EXPECT_NEAR(ShoelaceArea(square), 600, 1e-9);
}

TEST(RoundRectPath, CornersWiderThanTheBoxOverlapButStayOneClosedFigure)
{
    const QPainterPath path = MakeRoundRectPath(QRectF(0, 0, 12, 40), 10);
    const QList<QPolygonF> figures = path.toSubpathPolygons();
    ASSERT_EQ(figures.size(), 1);
    EXPECT_EQ(figures.front().back(), figures.front().front());
    EXPECT_TRUE(path.contains(QPointF(6, 20)));
}

TEST(Fonts, PointsAt96DpiAndFamiliesFallBack)
{
    EXPECT_EQ(MakeFont(QStringLiteral("Arial"), 12).pixelSize(), 16);
    EXPECT_EQ(MakeFont(QStringLiteral("Arial"), 10).pixelSize(), 13);
    EXPECT_EQ(MakeFont(QStringLiteral("Arial"), 24).pixelSize(), 32);
    EXPECT_EQ(QFontInfo(MakeFont(QStringLiteral("Arial"), 12)).family(), QStringLiteral("Liberation Sans"));
    QFont generic(QStringLiteral("sans-serif"));
    generic.setPixelSize(16);
    EXPECT_EQ(QFontInfo(MakeFont(QStringLiteral("No Such Family Here"), 12)).family(), QFontInfo(generic).family());
    const QFont link = MakeFont(QStringLiteral("Arial"), 10, FontUnderline);
    EXPECT_TRUE(link.underline());
    EXPECT_FALSE(link.bold());
    EXPECT_TRUE(MakeFont(QStringLiteral("Arial"), 12, FontBold).bold());
}

TEST(HaloText, LongTextStaysOnOneLineEndingInAnEllipsis)
{
    QImage canvas(300, 120, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    const QRectF rc(16, 10, 120, 100); // tall enough to show any wrapping
    {
        QPainter g(&canvas);
        SetSmoothingMode(&g, SmoothingMode::AntiAlias);
        DrawHaloText(&g, MakeFont(QStringLiteral("Arial"), 12), QStringLiteral("WWWWWWWWWWWWWWWWWWWWWWWW"), rc);
    }
    const QImage pic = canvas.convertToFormat(QImage::Format_ARGB32);
    int lowest = -1;
    bool haloOnly = false, blue = false;
    for (int y = 0; y < pic.height(); ++y)
        for (int x = 0; x < pic.width(); ++x) {
            const QRgb p = pic.pixel(x, y);
            if (qAlpha(p) == 0) continue;
            ASSERT_LE(x, 136) << "ink right of the rectangle (plus the halo's pixel)";
            ASSERT_GE(x, 15);
            lowest = std::max(lowest, y);
            if (qAlpha(p) < 0xA0 && qRed(p) > 230 && qGreen(p) > 230 && qBlue(p) > 230) haloOnly = true;
            if (qAlpha(p) == 255 && Near(p, 0xFF3B83BD, 24)) blue = true;
        }
    EXPECT_LT(lowest, 10 + 25) << "one line only";
    EXPECT_TRUE(haloOnly) << "a faint white outline around the letters";
    EXPECT_TRUE(blue) << "opaque blue letters";
    // The last glyph is the ellipsis: low dots, where a cut 'W' would reach
    // up to the cap height.
    const auto [left, tallRight] = InkSpan(pic, 10, 20);
    EXPECT_GE(left, 16);
    EXPECT_GT(InkSpan(pic, 20, 30).second, tallRight + 8) << "low dots after the last full glyph";
}

TEST(RoundBox, OutlinesFallOnWholePixels)
{
    QImage canvas(300, 60, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter g(&canvas);
        SetSmoothingMode(&g, SmoothingMode::AntiAlias);
        FillStrokeRoundRect(&g, QBrush(Argb(0xFFE9E9E9)), MakePen(0xFF000000), QRectF(10, 6, 256, 40));
    }
    const QImage pic = canvas.convertToFormat(QImage::Format_ARGB32);
    // A 1-px outline at x = 10 covers column 10, not half of 9 and 10.
    EXPECT_EQ(qAlpha(pic.pixel(9, 26)), 0);
    EXPECT_TRUE(Near(pic.pixel(10, 26), 0xFF000000, 2));
    EXPECT_TRUE(Near(pic.pixel(266, 26), 0xFF000000, 2));
    EXPECT_EQ(qAlpha(pic.pixel(267, 26)), 0);
    EXPECT_TRUE(Near(pic.pixel(11, 26), 0xFFE9E9E9, 2));
    EXPECT_TRUE(Near(pic.pixel(100, 6), 0xFF000000, 2));
    EXPECT_TRUE(Near(pic.pixel(100, 46), 0xFF000000, 2));
    EXPECT_EQ(qAlpha(pic.pixel(10, 6)), 0) << "rounded corner";
}

// ---------------------------------------------------------------- list panel

namespace {

class ProbeList : public CBottomMenu {
public:
    using CBottomMenu::m_bHasIcons;
    using CBottomMenu::m_icons;
    using CBottomMenu::m_texts;
};

class ListPanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(panel.Create(132, nullptr));
        panel.m_bMovable = false;
        panel.m_bResizable = false;
    }
    // As the main window opens a list: provisional size, then shown.
    void Open()
    {
        panel.Hide();
        panel.SetGeometry(QRect(100, 100, 250, 160));
        panel.Show();
    }
    void Fill(int count, int iconAt = -1)
    {
        const QImage icon(32, 32, QImage::Format_ARGB32);
        for (int i = 0; i < count; ++i)
            panel.AddItem(i == iconAt ? &icon : nullptr, QStringLiteral("Item %1").arg(i));
    }
    ProbeList panel;
};

} // namespace

TEST_F(ListPanel, OpensAt280WideAndAsHighAsItsItemsKeepingItsPlace)
{
    const struct {
        int count, height;
    } cases[] = {{0, 76}, {1, 76}, {2, 116}, {3, 156}, {5, 236}};
    for (const auto& c : cases) {
        panel.ClearItems();
        Fill(c.count);
        Open();
        CRect rc;
        panel.GetWindowRect(&rc);
        EXPECT_EQ(rc, (CRect{100, 100, 380, 100 + c.height})) << c.count << " items";
        EXPECT_TRUE(panel.m_bShown);
        EXPECT_EQ(panel.m_nCount, c.count);
        panel.ClosePanel();
    }
}

TEST_F(ListPanel, HoverFollowsRowsAndTheStripBelowTheLastItem)
{
    Fill(3);
    Open();
    const struct {
        int x, y, hover;
    } cases[] = {
        {20, 5, -1},   {20, 6, 0},    {20, 45, 0},   {20, 46, 1},   {20, 85, 1},   {20, 86, 2},
        {20, 125, 2},  {9, 20, -1},   {10, 20, 0},   {265, 20, 0},  {266, 20, -1}, {212, 126, -1},
        {213, 126, 3}, {265, 155, 3}, {266, 140, -1}, {100, 140, -1}, {213, 155, 3},
    };
    for (const auto& c : cases) {
        Move(panel, c.x, c.y);
        EXPECT_EQ(panel.m_nHover, c.hover) << c.x << "," << c.y;
        EXPECT_EQ(HandCursor(panel), c.hover != -1) << c.x << "," << c.y;
    }
    EXPECT_EQ(ListRowAt(230, 166, 280, 3), -1);
    EXPECT_EQ(ListRowAt(230, 160, 280, 3), 3) << "beyond the window, still the strip";
}

TEST_F(ListPanel, OnlyAClickOnAnotherItemChoosesAndClosesThePanel)
{
    Fill(3);
    panel.m_nSelected = 0;
    Open();
    ASSERT_TRUE(PumpUntil([&] { return panel.m_nAlpha == 255; }));
    for (QPoint p : {QPoint(20, 20), QPoint(230, 140), QPoint(5, 20), QPoint(100, 150)}) {
        Click(panel, p.x(), p.y());
        EXPECT_TRUE(panel.IsWindowVisible()) << p.x() << "," << p.y();
        EXPECT_TRUE(panel.m_bShown);
        EXPECT_EQ(panel.m_nSelected, 0);
    }
    Click(panel, 20, 100);
    EXPECT_EQ(panel.m_nSelected, 2);
    EXPECT_FALSE(panel.IsWindowVisible());
    EXPECT_FALSE(panel.m_bShown);
    EXPECT_EQ(panel.m_nHover, -1);
    EXPECT_EQ(panel.m_nAlpha, 0);
    EXPECT_FALSE(panel.m_bFadeStarted);
    EXPECT_NE(panel.GetSafeHwnd(), nullptr) << "hidden for reuse, not ended";

    // Reopened: fades in again; the choice survived.
    Open();
    EXPECT_TRUE(panel.m_bFadeStarted);
    EXPECT_LT(panel.m_nAlpha, 255);
    ASSERT_TRUE(PumpUntil([&] { return panel.m_nAlpha == 255; }));
    EXPECT_EQ(panel.m_nSelected, 2);
}

TEST_F(ListPanel, ReopeningSoonAfterAQuickCloseStillFadesInFromNothing)
{
    Fill(2);
    Open();
    Pump(25);
    ASSERT_LT(panel.m_nAlpha, 255) << "closed mid-fade";
    Key(panel, Qt::Key_Escape);
    Pump(300); // the earlier fade may run on while the panel is hidden
    Open();
    EXPECT_LE(panel.m_nAlpha, 20);
    EXPECT_LE(panel.Alpha(), 20) << "the old picture must not show at the old alpha";
    ASSERT_TRUE(PumpUntil([&] { return panel.Alpha() == 255; }));
}

TEST_F(ListPanel, AnEmptyPanelChangesNothing)
{
    Open();
    EXPECT_EQ(WindowSize(panel), QSize(280, 76));
    for (QPoint p : {QPoint(20, 20), QPoint(230, 30), QPoint(230, 60)}) Click(panel, p.x(), p.y());
    EXPECT_EQ(panel.m_nSelected, -1);
    EXPECT_TRUE(panel.m_bShown);
}

TEST_F(ListPanel, EnterEscapeAndCloseHideItKeepingTheWindow)
{
    Fill(2);
    for (int how = 0; how < 3; ++how) {
        Open();
        ASSERT_TRUE(panel.IsWindowVisible());
        if (how == 0) Key(panel, Qt::Key_Escape);
        if (how == 1) Key(panel, Qt::Key_Return);
        if (how == 2) panel.GetSafeHwnd()->close();
        EXPECT_FALSE(panel.IsWindowVisible()) << how;
        EXPECT_FALSE(panel.m_bShown) << how;
        EXPECT_NE(panel.GetSafeHwnd(), nullptr) << how;
    }
}

TEST_F(ListPanel, ClearingForgetsTheChoiceAndTheIcons)
{
    Fill(3, 1);
    panel.m_nSelected = 2;
    Open();
    EXPECT_TRUE(panel.m_bHasIcons);
    panel.ClearItems();
    EXPECT_EQ(panel.m_nSelected, -1);
    EXPECT_EQ(panel.m_nCount, 0);
    EXPECT_FALSE(panel.m_bHasIcons);
    EXPECT_TRUE(panel.m_icons.empty());
}

TEST_F(ListPanel, ItemsKeepTheirOwnCopyOfTheIcon)
{
    auto icon = std::make_unique<QImage>(32, 32, QImage::Format_ARGB32);
    icon->fill(qRgba(200, 10, 10, 255));
    panel.AddItem(icon.get(), QStringLiteral("Mic"));
    panel.AddItem(nullptr, QStringLiteral("None"));
    icon.reset();
    Open();
    ASSERT_NE(panel.m_icons[0], nullptr);
    EXPECT_EQ(panel.m_icons[1], nullptr);
    const QImage pic = Picture(panel);
    EXPECT_EQ(pic.pixel(16 + 5, 10 + 5), qRgba(200, 10, 10, 255)) << "drawn unscaled at (16, y - 6)";
}

TEST_F(ListPanel, TextStartsAt16WithoutIconsAndAt56AsSoonAsOneItemHasOne)
{
    Fill(3);
    Open();
    QImage pic = Picture(panel);
    for (int i = 0; i < 3; ++i) {
        const int left = InkSpan(pic, 16 + 40 * i, 36 + 40 * i).first;
        EXPECT_GE(left, 16) << i;
        EXPECT_LE(left, 19) << i;
    }
    panel.ClosePanel();
    panel.ClearItems();
    Fill(3, 1);
    Open();
    pic = Picture(panel);
    for (int i : {0, 2}) { // the rows without an icon
        const int left = InkSpan(pic, 16 + 40 * i, 36 + 40 * i).first;
        EXPECT_GE(left, 56) << i;
        EXPECT_LE(left, 59) << i;
    }
}

TEST_F(ListPanel, SelectedAndHoveredRowsAreHighlighted)
{
    Fill(3);
    panel.m_nSelected = 0;
    Open();
    Move(panel, 20, 100); // row 2
    QImage pic = Picture(panel);
    const QRgb fill = 0xFFE9E9E9;
    EXPECT_TRUE(Near(pic.pixel(255, 26), fill, 1));
    EXPECT_TRUE(Near(pic.pixel(255, 106), fill, 1));
    EXPECT_FALSE(Near(pic.pixel(255, 66), fill, 1)) << "row 1 is neither";
    Move(panel, 230, 140); // the strip below the last item
    pic = Picture(panel);
    EXPECT_TRUE(Near(pic.pixel(255, 140), fill, 1));
    EXPECT_FALSE(Near(pic.pixel(255, 106), fill, 1));
}

TEST_F(ListPanel, LongTextsEndInsideTheirRowWithAnEllipsis)
{
    const QString longText(QStringLiteral("A camera whose name is far too long to fit into one row of the list"));
    panel.AddItem(nullptr, longText);
    panel.AddItem(nullptr, longText);
    panel.m_nSelected = 1;
    Open();
    const QImage pic = Picture(panel);
    const auto [left0, right0] = InkSpan(pic, 16, 36);
    const auto [left1, right1] = InkSpan(pic, 56, 76);
    EXPECT_LE(right0, 16 + 250) << "plain row: W - 30";
    EXPECT_GE(right0, 16 + 250 - 12);
    EXPECT_LE(right1, 16 + 245) << "selected row: W - 35";
    EXPECT_GE(right1, 16 + 245 - 12);
}

// ---------------------------------------------------------------- image-settings panel

namespace {

using RecordingCamera = media::MemoryCamera;

void Add(RecordingCamera& camera, ImageSlot slot, ImageProperty p)
{
    camera.Add(kinovo::kSlotControl[static_cast<int>(slot)], {p.min, p.max, p.step, p.defaultValue}, p.value);
}

constexpr ImageProperty kBrightness{true, -64, 64, 1, 0, 10};
constexpr ImageProperty kWhiteBalance{true, 2800, 6500, 10, 4600, 4600};

std::shared_ptr<RecordingCamera> Camera(kinovo::VideoDevice& device, bool contrastAndGamma)
{
    auto amp = std::make_shared<RecordingCamera>(media::CameraInfo{"/dev/video0", "Panel Camera", "", "/dev/video0"});
    Add(*amp, ImageSlot::Brightness, kBrightness);
    if (contrastAndGamma) Add(*amp, ImageSlot::Contrast, {true, 0, 100, 1, 50, 50});
    Add(*amp, ImageSlot::Saturation, {true, 0, 200, 2, 100, 100});
    Add(*amp, ImageSlot::Sharpness, {true, 0, 7, 1, 3, 3});
    if (contrastAndGamma) Add(*amp, ImageSlot::Gamma, {true, 100, 300, 10, 150, 150});
    Add(*amp, ImageSlot::WhiteBalance, kWhiteBalance);
    Add(*amp, ImageSlot::Hue, {true, -180, 180, 1, 0, 0}); // no row of its own
    device.camera = amp;
    kinovo::ReadImageProperties(device);
    return amp;
}

class ProbeSettings : public CMenuDlg {
public:
    using CMenuDlg::m_pIcons;
    using CMenuDlg::m_range;
    using CMenuDlg::m_rowKind;
    using CMenuDlg::m_rowName;
};

class SettingsPanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(panel.Create(132, nullptr));
        panel.m_bMovable = false;
        panel.m_bResizable = false;
    }
    void Open()
    {
        panel.Hide();
        panel.SetGeometry(QRect(100, 100, 250, 300));
        panel.Show();
    }
    // The middle of setting row i.
    static int RowY(int i) { return 19 + 40 * i + 20; }
    std::int32_t Value(ImageSlot slot) { return device.property(slot).value; }

    kinovo::VideoDevice device;
    ProbeSettings panel;
};

} // namespace

TEST_F(SettingsPanel, RowsAndSizeFollowTheCameraControls)
{
    const QStringList six{"Brightness", "Contrast", "Saturation", "Sharpness", "Gamma", "White balance"};
    const QStringList four{"Brightness", "Saturation", "Sharpness", "White balance"};
    const struct {
        bool camera, contrastAndGamma;
        int height;
        QStringList names;
    } cases[] = {{true, true, 314, six}, {true, false, 234, four}, {false, false, 114, {}}};
    for (const auto& c : cases) {
        device = kinovo::VideoDevice{};
        if (c.camera) Camera(device, c.contrastAndGamma);
        panel.m_pDevice = c.camera ? &device : nullptr;
        Open();
        CRect rc;
        panel.GetWindowRect(&rc);
        EXPECT_EQ(rc, (CRect{100, 100, 380, 100 + c.height}));
        ASSERT_EQ(panel.m_nRows, c.names.size());
        for (int i = 0; i < panel.m_nRows; ++i) {
            EXPECT_EQ(panel.m_rowName[i], c.names[i]);
            EXPECT_EQ(SettingCaption(panel.m_rowKind[i]), c.names[i]);
        }
        panel.ClosePanel();
        EXPECT_EQ(panel.m_nRows, 0);
        EXPECT_FALSE(panel.m_bShown);
    }
    // A camera record whose controls are all unsupported has only the reset button.
    device = kinovo::VideoDevice{};
    panel.m_pDevice = &device;
    Open();
    EXPECT_EQ(WindowSize(panel), QSize(280, 114));
    EXPECT_EQ(panel.m_nRows, 0);
}

TEST_F(SettingsPanel, HoverFollowsRowsAndTheResetButton)
{
    Camera(device, true);
    panel.m_pDevice = &device;
    Open();
    const struct {
        int x, y, hover;
    } cases[] = {
        {20, 18, -1},   {20, 19, 0},     {20, 58, 0},    {20, 59, 1},   {150, 258, 5},  {20, 259, -1},
        {212, 280, -1}, {213, 259, 6},   {265, 298, 6},  {265, 299, -1}, {265, 305, -1}, {266, 280, -1}, {9, 30, -1},
        {10, 30, 0},    {265, 30, 0},    {266, 30, -1},
    };
    for (const auto& c : cases) {
        Move(panel, c.x, c.y);
        EXPECT_EQ(panel.m_nHover, c.hover) << c.x << "," << c.y;
        EXPECT_EQ(HandCursor(panel), c.hover != -1) << c.x << "," << c.y;
    }
    // Entering a row takes a fresh copy of its control.
    Move(panel, 100, RowY(5));
    EXPECT_EQ(panel.m_range.min, 2800);
    EXPECT_EQ(panel.m_range.max, 6500);
    EXPECT_EQ(panel.m_range.step, 10);
    EXPECT_EQ(panel.m_range.defaultValue, 4600);
    EXPECT_TRUE(panel.m_range.valid);
}

TEST(SliderArithmetic, PositionsAndValues)
{
    const struct {
        int x, click, drag;
    } positions[] = {{156, 100, 100}, {255, 199, 199}, {256, -1, 200}, {53, 0, 0},
                     {51, 0, 0},      {50, -1, 0},     {11, -1, 0},   {10, -1, -1},   {260, -1, 204},
                     {265, -1, 209},  {266, -1, -1},   {56, 0, 0},    {55, 0, 0}};
    for (const auto& p : positions) {
        EXPECT_EQ(ClickSliderPos(p.x), p.click) << p.x;
        EXPECT_EQ(DragSliderPos(p.x), p.drag) << p.x;
    }
    const ImageProperty wide{true, INT32_MIN, INT32_MAX, 1, 0, 0};
    const struct {
        ImageProperty range;
        int pos;
        std::int32_t value;
    } values[] = {
        {kBrightness, 100, 0},   {kBrightness, 199, 64},  {kBrightness, 0, -64},  {kBrightness, 204, 64},
        {kBrightness, 1, -63},   {kWhiteBalance, 1, 2828}, {kWhiteBalance, 0, 2800}, {kWhiteBalance, 200, 6500},
        {{true, 5, 5, 1, 5, 5}, 100, 5},                     // empty range: treated as 1 wide
        {wide, 200, INT32_MAX}, {wide, 100, 0},          // no overflow on the widest range
    };
    for (const auto& v : values)
        EXPECT_EQ(SliderValue(v.range, v.pos), v.value) << v.range.min << ".." << v.range.max << " pos " << v.pos;
    EXPECT_EQ(SliderFill({true, -64, 64, 1, 0, -64}), 0);
    EXPECT_EQ(SliderFill({true, -64, 64, 1, 0, 64}), 200);
    EXPECT_EQ(SliderFill({true, -64, 64, 1, 0, 0}), 100);
    EXPECT_EQ(SliderFill({true, INT32_MIN, INT32_MAX, 1, 0, INT32_MAX}), 200);
    EXPECT_EQ(SliderFill({true, 0, 10, 1, 0, 50}), 200) << "a value beyond the range keeps the knob on the track";
}

TEST_F(SettingsPanel, ClicksAndDragsSetTheHoveredControlOnTheCamera)
{
    auto amp = Camera(device, true);
    panel.m_pDevice = &device;
    Open();
    const media::CameraControl brightness = media::CameraControl::Brightness;
    // A drag starts with a press at x = 100, which itself sets -35.
    const struct {
        bool drag;
        int x;
        std::int32_t value; // on the camera afterwards
        bool written;
    } cases[] = {{false, 156, 0, true}, {false, 255, 64, true}, {false, 53, -64, true},
                 {false, 50, -64, false}, {false, 260, -64, false}, {true, 260, 64, true},
                 {true, 30, -64, true},   {true, 10, -35, false}};
    for (const auto& c : cases) {
        amp->writes.clear();
        Move(panel, 100, RowY(0));
        if (c.drag) {
            Mouse(panel, QEvent::MouseButtonPress, 100, RowY(0), Qt::LeftButton);
            ASSERT_EQ(Value(ImageSlot::Brightness), -35);
            amp->writes.clear();
            Move(panel, c.x, RowY(0), Qt::LeftButton);
            Mouse(panel, QEvent::MouseButtonRelease, c.x, RowY(0), Qt::NoButton);
        } else {
            Click(panel, c.x, RowY(0));
        }
        EXPECT_EQ(Value(ImageSlot::Brightness), c.value) << (c.drag ? "drag " : "click ") << c.x;
        if (c.written) {
            ASSERT_EQ(amp->writes.size(), 1u) << c.x;
            EXPECT_EQ(amp->writes[0], (RecordingCamera::Write{brightness, c.value, media::ControlMode::Manual}));
        } else {
            EXPECT_TRUE(amp->writes.empty()) << c.x;
        }
    }
    // The panel keeps its own value; the engine snaps to the step.
    Move(panel, 100, RowY(5));
    Click(panel, 57, RowY(5));
    EXPECT_EQ(panel.m_range.value, 2828);
    EXPECT_EQ(Value(ImageSlot::WhiteBalance), 2820);
    EXPECT_TRUE(panel.m_bShown) << "choosing a value does not close the panel";
}

TEST_F(SettingsPanel, ADragActsOnlyOnTheRowItWasOn)
{
    auto amp = Camera(device, true);
    panel.m_pDevice = &device;
    Open();
    Move(panel, 100, RowY(0));
    Mouse(panel, QEvent::MouseButtonPress, 100, RowY(0), Qt::LeftButton);
    amp->writes.clear();
    Move(panel, 200, RowY(1), Qt::LeftButton); // onto the contrast row: it only becomes hovered
    EXPECT_EQ(panel.m_nHover, 1);
    EXPECT_TRUE(amp->writes.empty());
    Move(panel, 206, RowY(1), Qt::LeftButton);
    ASSERT_EQ(amp->writes.size(), 1u);
    EXPECT_EQ(amp->writes[0].control, media::CameraControl::Contrast);
    EXPECT_EQ(amp->writes[0].value, 75);
}

TEST_F(SettingsPanel, ResetPutsEveryControlBackAndLeavesThePanelOpen)
{
    auto amp = Camera(device, false);
    panel.m_pDevice = &device;
    Open();
    Click(panel, 255, RowY(0));
    Move(panel, 100, RowY(3));
    Click(panel, 56, RowY(3));
    ASSERT_EQ(Value(ImageSlot::Brightness), 64);
    ASSERT_EQ(Value(ImageSlot::WhiteBalance), 2800);
    amp->writes.clear();
    Click(panel, 230, RowY(4));
    EXPECT_EQ(panel.m_nHover, 4);
    EXPECT_TRUE(panel.m_bShown);
    for (ImageSlot slot : {ImageSlot::Brightness, ImageSlot::Saturation, ImageSlot::Sharpness,
                           ImageSlot::WhiteBalance, ImageSlot::Hue})
        EXPECT_EQ(Value(slot), device.property(slot).defaultValue) << static_cast<int>(slot);
    EXPECT_FALSE(amp->writes.empty());
    for (const auto& w : amp->writes) EXPECT_EQ(w.mode, media::ControlMode::Automatic);
}

TEST_F(SettingsPanel, WithoutACameraOnlyTheResetButtonShowsAndDoesNothing)
{
    panel.m_pDevice = nullptr;
    Open();
    EXPECT_EQ(WindowSize(panel), QSize(280, 114));
    Move(panel, 230, 40);
    EXPECT_EQ(panel.m_nHover, 0);
    Click(panel, 230, 40);
    Click(panel, 100, 40);
    EXPECT_TRUE(panel.m_bShown);
    Move(panel, 230, 40);
    const QImage pic = Picture(panel);
    EXPECT_TRUE(Near(pic.pixel(228, 40), 0xFFE9E9E9, 1)) << "the reset button's highlight square";
}

TEST_F(SettingsPanel, IconsFollowTheControlNotTheRowNumber)
{
    Camera(device, false);
    panel.m_pDevice = &device;
    Open();
    const QImage pic = Picture(panel);
    // Where an icon is opaque, the picture shows exactly the icon.
    const auto matches = [&](SettingKind kind, int left, int top) {
        const QImage icon = panel.m_pIcons[static_cast<int>(kind)]->convertToFormat(QImage::Format_ARGB32);
        int opaque = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = 0; x < 32; ++x)
                if (qAlpha(icon.pixel(x, y)) == 255) {
                    ++opaque;
                    if (pic.pixel(left + x, top + y) != icon.pixel(x, y)) return false;
                }
        return opaque > 0;
    };
    EXPECT_TRUE(matches(SettingKind::Brightness, 16, 23));
    EXPECT_TRUE(matches(SettingKind::Saturation, 16, 63));
    EXPECT_FALSE(matches(SettingKind::Contrast, 16, 63));
    EXPECT_TRUE(matches(SettingKind::Sharpness, 16, 103));
    EXPECT_TRUE(matches(SettingKind::WhiteBalance, 16, 143));
    EXPECT_TRUE(matches(SettingKind::ResetIcon, 280 - 48, 22 + 40 * 4));
}

TEST_F(SettingsPanel, TheKnobSitsAtTheValueAndTheTrackFillsUpToIt)
{
    Camera(device, true);
    panel.m_pDevice = &device;
    Open();
    const auto knob = [](QRgb p) { return qRed(p) >= 0xD8 && qGreen(p) >= 0xD8 && qBlue(p) >= 0xD8; };
    const auto blue = [](QRgb p) { return qBlue(p) - qRed(p) > 60; };
    const int y = 30 + 8; // the knob's middle on row 0

    device.property(ImageSlot::Brightness).value = -64;
    Move(panel, 100, RowY(0));
    QImage pic = Picture(panel);
    EXPECT_TRUE(knob(pic.pixel(62, y))) << "knob box starts at x = 47";
    EXPECT_FALSE(knob(pic.pixel(150, y)));
    EXPECT_FALSE(knob(pic.pixel(250, y)));
    EXPECT_FALSE(blue(pic.pixel(150, y))) << "nothing filled at the minimum";

    Move(panel, 100, RowY(1));
    device.property(ImageSlot::Brightness).value = 64;
    Move(panel, 100, RowY(0));
    pic = Picture(panel);
    EXPECT_TRUE(knob(pic.pixel(250, y))) << "knob box starts at x = 247";
    EXPECT_FALSE(knob(pic.pixel(62, y)));
    EXPECT_TRUE(blue(pic.pixel(150, y))) << "filled up to the knob";
    EXPECT_TRUE(blue(pic.pixel(62, y)));
}

// ---------------------------------------------------------------- about panel

namespace {

class ProbeAbout : public CAboutDlg {
public:
    using CAboutDlg::m_bOkHover;
    using CAboutDlg::m_rcLink;
    using CPNGDialog::m_bFadeStarted;
    using CPNGDialog::m_nAlpha;
};

// Stands in for the browser.
class UrlSink : public QObject {
    Q_OBJECT
public:
    Q_INVOKABLE void open(const QUrl& url) { opened.push_back(url); }
    std::vector<QUrl> opened;
};

class AboutPanel : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The panel is a child of the main window, which is on screen.
        ASSERT_TRUE(owner.Create(102, nullptr));
        owner.SetGeometry(QRect(0, 0, 800, 600));
        owner.Show();
        ASSERT_TRUE(panel.Create(130, &owner));
        panel.m_bResizable = false;
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &sink, "open");
    }
    void TearDown() override { QDesktopServices::unsetUrlHandler(QStringLiteral("https")); }
    void Open()
    {
        panel.SetGeometry(QRect(100, 100, 420, 320));
        panel.Show();
    }
    CDialog owner{102};
    ProbeAbout panel;
    UrlSink sink;
};

} // namespace

TEST_F(AboutPanel, OkAreaIncludesItsBounds)
{
    Open();
    const struct {
        int x, y;
        bool in;
    } cases[] = {{9, 246, true}, {407, 304, true}, {8, 246, false}, {407, 305, false},
                 {200, 245, false}, {408, 280, false}, {200, 280, true}};
    for (const auto& c : cases) {
        Move(panel, c.x, c.y);
        EXPECT_EQ(panel.m_bOkHover, c.in) << c.x << "," << c.y;
        EXPECT_EQ(InOkArea(c.x, c.y), c.in);
        if (c.in) {
            EXPECT_TRUE(HandCursor(panel));
        }
    }
    // The highlight under "Ok" fades from near white at the top to nothing.
    Move(panel, 200, 280);
    const QImage lit = Picture(panel);
    Move(panel, 200, 100);
    const QImage plain = Picture(panel);
    EXPECT_NE(lit.pixel(300, 244), plain.pixel(300, 244));
    EXPECT_EQ(lit.pixel(300, 200), plain.pixel(300, 200));
}

TEST_F(AboutPanel, TheLinkIsMeasuredWhenDrawnAndHitStrictlyInside)
{
    Open();
    EXPECT_EQ(panel.m_rcLink, QRectF());
    Click(panel, 20, 228);
    EXPECT_TRUE(sink.opened.empty()) << "nothing to hit before the first drawing";

    Picture(panel);
    const QRectF box = panel.m_rcLink;
    EXPECT_EQ(box.topLeft(), QPointF(15, 220));
    EXPECT_GT(box.width(), 60);
    EXPECT_LT(box.width(), 385);
    EXPECT_GT(box.height(), 10);
    const int midY = static_cast<int>(box.center().y());
    Click(panel, 15, midY);
    Click(panel, static_cast<int>(std::ceil(box.right())), midY);
    Click(panel, 20, 220);
    EXPECT_TRUE(sink.opened.empty()) << "edges are not hits";
    Move(panel, 20, midY);
    EXPECT_TRUE(HandCursor(panel));
    Click(panel, 20, midY);
    ASSERT_EQ(sink.opened.size(), 1u);
    EXPECT_EQ(sink.opened[0], QUrl(QStringLiteral("https://kinovo.app/")));
    EXPECT_TRUE(panel.m_bShown) << "the panel stays open";
}

TEST_F(AboutPanel, OkHidesItAndLaterOpeningsShowAtOnce)
{
    Open();
    EXPECT_TRUE(panel.m_bShown);
    ASSERT_TRUE(PumpUntil([&] { return panel.m_nAlpha == 255; }));
    Click(panel, 200, 280);
    EXPECT_FALSE(panel.IsWindowVisible());
    EXPECT_FALSE(panel.m_bShown);
    EXPECT_EQ(panel.m_nAlpha, 255);
    EXPECT_TRUE(panel.m_bFadeStarted);
    EXPECT_NE(panel.GetSafeHwnd(), nullptr);
    EXPECT_TRUE(panel.m_bOkHover) << "kept until the pointer leaves the area";

    Open();
    EXPECT_TRUE(panel.m_bShown);
    Pump(50);
    EXPECT_EQ(panel.m_nAlpha, 255);
    EXPECT_EQ(panel.Alpha(), 255);
    Key(panel, Qt::Key_Escape);
    EXPECT_FALSE(panel.IsWindowVisible());
    EXPECT_FALSE(panel.m_bShown);
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "test_panels.moc"
