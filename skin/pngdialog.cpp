#include "pngdialog.h"

#include "skin_log.h"

#include <QGuiApplication>
#include <QPaintEvent>
#include <QWidget>
#include <QWindow>

#include <functional>
#include <vector>

namespace {

constexpr int kBorder = 15;
constexpr unsigned kResizeTimerId = 1;
constexpr unsigned kFadeTimerId = 2;
constexpr int kResizePollMs = 50;
constexpr int kFadeStepMs = 10;

// The layer a dialog's content is painted on when it goes above the
// dialog's child widgets: it covers the dialog and lets all input through.
class ContentLayer final : public QWidget {
public:
    ContentLayer(QWidget* parent, std::function<void(QPainter&)> paint) : QWidget(parent), m_paint(std::move(paint))
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        m_paint(painter);
    }

private:
    std::function<void(QPainter&)> m_paint;
};

// The window system's name of a border zone (1..8 clockwise from top-left).
Qt::Edges ZoneEdges(int zone)
{
    switch (zone) {
    case 1: return Qt::TopEdge | Qt::LeftEdge;
    case 2: return Qt::TopEdge;
    case 3: return Qt::TopEdge | Qt::RightEdge;
    case 4: return Qt::RightEdge;
    case 5: return Qt::BottomEdge | Qt::RightEdge;
    case 6: return Qt::BottomEdge;
    case 7: return Qt::BottomEdge | Qt::LeftEdge;
    default: return Qt::LeftEdge;
    }
}

// A rectangle of the screen as the window's geometry: in its parent for a child.
QRect GeometryOf(HWND w, const CRect& screen)
{
    QPoint topLeft(screen.left, screen.top);
    if (!w->isWindow() && w->parentWidget()) topLeft = w->parentWidget()->mapFromGlobal(topLeft);
    return {topLeft, QSize(screen.Width(), screen.Height())};
}

HCURSOR EdgeCursor(int edge, const HCURSOR& we, const HCURSOR& ns, const HCURSOR& nesw, const HCURSOR& nwse)
{
    switch (edge) {
    case 4: case 8: return we;
    case 2: case 6: return ns;
    case 3: case 7: return nesw;
    default: return nwse;
    }
}

} // namespace

std::array<QRect, 9> NineSliceSourceRects(int W, int H, int L, int T, int R, int B)
{
    return {QRect(0, 0, L, T),         QRect(L, 0, W - L - R, T),     QRect(W - R, 0, R, T),
            QRect(W - R, T, R, H - T - B), QRect(W - R, H - B, R, B), QRect(L, H - B, W - L - R, B),
            QRect(0, H - B, L, B),     QRect(0, T, L, H - T - B),     QRect(L, T, W - L - R, H - T - B)};
}

std::array<QRect, 9> NineSliceDestRects(int W, int H, int L, int T, int R, int B)
{
    return {QRect(0, 0, L, T),         QRect(W - R, 0, R, T),         QRect(W - R, H - B, R, B),
            QRect(0, H - B, L, B),     QRect(L, 0, W - L - R, T),     QRect(W - R, T, R, H - T - B),
            QRect(L, H - B, W - L - R, B), QRect(0, T, L, H - T - B), QRect(L, T, W - L - R, H - T - B)};
}

QRegion OpaqueRegion(const QImage& picture)
{
    // One rectangle per run of kept pixels in a row: already in the banded
    // order a region is stored in.
    std::vector<QRect> runs;
    const QImage src = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < src.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        int x = 0;
        while (x < src.width()) {
            while (x < src.width() && qAlpha(line[x]) < 128) ++x;
            const int start = x;
            while (x < src.width() && qAlpha(line[x]) >= 128) ++x;
            if (x > start) runs.emplace_back(start, y, x - start, 1);
        }
    }
    QRegion r;
    r.setRects(runs.data(), static_cast<int>(runs.size()));
    // An empty mask would mean "no mask" and show the whole window.
    return r.isEmpty() ? QRegion(0, 0, 1, 1) : r;
}

bool InInterior(int x, int y, int W, int H)
{
    return kBorder < x && x < W - kBorder && kBorder < y && y < H - kBorder;
}

int ResizeZone(int x, int y, int W, int H)
{
    const bool right = x >= W - kBorder, left = x <= kBorder;
    const bool bottom = y >= H - kBorder, top = y <= kBorder;
    const bool midX = kBorder < x && x < W - kBorder;
    const bool midY = kBorder < y && y < H - kBorder;
    if (right && midY) return 4;
    if (left && midY) return 8;
    if (bottom && midX) return 6;
    if (top && midX) return 2;
    if (right && bottom) return 5;
    if (right && top) return 3;
    if (left && bottom) return 7;
    if (left && top) return 1;
    return 0;
}

CRect ResizeStep(int edge, int px, int py, int gx, int gy, const CRect& rc, int minWidth, int minHeight)
{
    int left = rc.left, top = rc.top, width = rc.Width(), height = rc.Height();
    bool needW = false, needH = false;
    switch (edge) {
    case 4: width = px + gx - rc.left; needW = true; break;
    case 8: width = rc.right - px - gx; left = px + gx; needW = true; break;
    case 6: height = py + gy - rc.top; needH = true; break;
    case 2: height = rc.bottom - py - gy; top = py + gy; needH = true; break;
    case 5: width = px + gx - rc.left; height = py + gy - rc.top; needW = needH = true; break;
    case 3: width = px + gx - rc.left; height = rc.bottom - py - gy; top = py + gy; needW = needH = true; break;
    case 7: width = rc.right - px - gx; left = px + gx; height = py + gy - rc.top; needW = needH = true; break;
    case 1:
        width = rc.right - px - gx; height = rc.bottom - py - gy;
        left = px + gx; top = py + gy;
        needW = needH = true;
        break;
    default: return rc;
    }
    if ((needW && width <= minWidth) || (needH && height <= minHeight)) return rc;
    return CRect{left, top, left + width, top + height};
}

// ---------------------------------------------------------------- construction

CPNGDialog::CPNGDialog(unsigned templateId, unsigned pngId, int left, int top, int right, int bottom, bool drawCentre)
    : CDialog(templateId),
      m_hCursorHand(LoadCursor(IDC_HAND)),
      m_hCursorSizeNS(LoadCursor(IDC_SIZENS)),
      m_hCursorSizeWE(LoadCursor(IDC_SIZEWE)),
      m_hCursorSizeNESW(LoadCursor(IDC_SIZENESW)),
      m_hCursorSizeNWSE(LoadCursor(IDC_SIZENWSE)),
      m_bDrawCentre(drawCentre)
{
    LoadNineSlice(pngId, left, top, right, bottom);
}

CPNGDialog::CPNGDialog()
    : CDialog(130),
      m_hCursorHand(LoadCursor(IDC_HAND)),
      m_hCursorSizeNS(LoadCursor(IDC_SIZENS)),
      m_hCursorSizeWE(LoadCursor(IDC_SIZEWE)),
      m_hCursorSizeNESW(LoadCursor(IDC_SIZENESW)),
      m_hCursorSizeNWSE(LoadCursor(IDC_SIZENWSE)),
      m_bDrawCentre(true),
      m_bResizable(false)
{
    LoadBackground(140);
}

CPNGDialog::~CPNGDialog()
{
    // The window goes first, while this class can still take its part in it.
    DestroyWindow();
}

void CPNGDialog::ResetSkin()
{
    m_pBackground.reset();
    for (Image* cell : {&m_pCellTopLeft, &m_pCellTop, &m_pCellTopRight, &m_pCellRight, &m_pCellBottomRight,
                        &m_pCellBottom, &m_pCellBottomLeft, &m_pCellLeft})
        cell->reset();
    m_nMarginLeft = m_nMarginTop = m_nMarginRight = m_nMarginBottom = 0;
}

bool CPNGDialog::LoadBackground(unsigned pngId)
{
    ResetSkin();
    m_pBackground = LoadPngResource(pngId);
    return m_pBackground != nullptr;
}

bool CPNGDialog::LoadNineSlice(unsigned pngId, int left, int top, int right, int bottom)
{
    if (!LoadBackground(pngId)) return false;
    m_nMarginLeft = left;
    m_nMarginTop = top;
    m_nMarginRight = right;
    m_nMarginBottom = bottom;
    const int W = m_pBackground->width(), H = m_pBackground->height();
    const auto src = NineSliceSourceRects(W, H, left, top, right, bottom);
    Image* cells[] = {&m_pCellTopLeft, &m_pCellTop, &m_pCellTopRight, &m_pCellRight,
                      &m_pCellBottomRight, &m_pCellBottom, &m_pCellBottomLeft, &m_pCellLeft};
    for (int i = 0; i < 8; ++i)
        *cells[i] = CutCell(m_pBackground.get(), src[i].x(), src[i].y(), src[i].width(), src[i].height());
    if (m_bDrawCentre)
        m_pBackground = CutCell(m_pBackground.get(), src[8].x(), src[8].y(), src[8].width(), src[8].height());
    return true;
}

// ---------------------------------------------------------------- window life

bool CPNGDialog::OnInitDialog()
{
    CDialog::OnInitDialog();
    HWND w = GetSafeHwnd();
    if (!w) return true;
    // The skin's alpha is the window's: whatever lies below shows through
    // where it is translucent.
    w->setAttribute(Qt::WA_TranslucentBackground);
    w->setAttribute(Qt::WA_NoSystemBackground);
    return true;
}

void CPNGDialog::DrawContentAboveChildren()
{
    HWND w = GetSafeHwnd();
    if (!w || m_pContentLayer) return;
    m_pContentLayer = new ContentLayer(w, [this](QPainter& g) {
        g.setOpacity(m_nAlpha / 255.0);
        DrawContent(&g);
    });
    m_pContentLayer->setGeometry(w->rect());
    m_pContentLayer->show();
}

void CPNGDialog::PostNcDestroy()
{
    // Its children go with the window.
    m_pContentLayer = nullptr;
    CDialog::PostNcDestroy();
}

void CPNGDialog::DrawContent(Graphics*) {}

// ---------------------------------------------------------------- painting

void CPNGDialog::DrawSkin(QPainter& g, int W, int H)
{
    if (m_bMaximized) return;
    const auto draw = [&g](const Image& img, const QRect& dst) {
        if (img && !img->isNull() && dst.width() > 0 && dst.height() > 0) g.drawImage(dst, *img);
    };
    if (!m_pCellTopLeft) {
        draw(m_pBackground, QRect(0, 0, W, H));
        return;
    }
    const auto dst = NineSliceDestRects(W, H, m_nMarginLeft, m_nMarginTop, m_nMarginRight, m_nMarginBottom);
    const Image* imgs[] = {&m_pCellTopLeft, &m_pCellTopRight, &m_pCellBottomRight, &m_pCellBottomLeft,
                           &m_pCellTop,     &m_pCellRight,    &m_pCellBottom,      &m_pCellLeft};
    for (int i = 0; i < 8; ++i) draw(*imgs[i], dst[i]);
    if (m_bDrawCentre) draw(m_pBackground, dst[8]);
}

void CPNGDialog::OnPaint(QPainter& g)
{
    HWND w = GetSafeHwnd();
    if (!w) return;
    g.setRenderHint(QPainter::SmoothPixmapTransform, false);
    g.setOpacity(m_nAlpha / 255.0);
    DrawSkin(g, w->width(), w->height());
    if (!m_pContentLayer) DrawContent(&g);
}

QImage CPNGDialog::Picture()
{
    HWND w = GetSafeHwnd();
    if (!w || w->width() <= 0 || w->height() <= 0) return {};
    QImage canvas(w->size(), QImage::Format_ARGB32_Premultiplied);
    if (canvas.isNull()) {
        qCWarning(lcSkin) << "window" << w->width() << "x" << w->height() << ": no memory for its picture";
        return {};
    }
    canvas.fill(Qt::transparent);
    QPainter g(&canvas);
    g.setRenderHint(QPainter::SmoothPixmapTransform, false);
    DrawSkin(g, w->width(), w->height());
    DrawContent(&g);
    return canvas;
}

void CPNGDialog::UpdateShape()
{
    HWND w = GetSafeHwnd();
    if (!w || !w->isWindow() || IsCompositingActive()) return;
    // The skin at full alpha decides the shape, whatever the fade and the
    // content: pixels at least half opaque stay, and the centre that the
    // window fills itself (the live picture).
    QImage skin(w->size(), QImage::Format_ARGB32_Premultiplied);
    if (skin.isNull()) return;
    skin.fill(Qt::transparent);
    {
        QPainter g(&skin);
        DrawSkin(g, w->width(), w->height());
    }
    QRegion region = OpaqueRegion(skin);
    if (!m_bDrawCentre && m_pCellTopLeft)
        region |= QRect(m_nMarginLeft, m_nMarginTop, w->width() - m_nMarginLeft - m_nMarginRight,
                        w->height() - m_nMarginTop - m_nMarginBottom);
    if (w->mask() != region) w->setMask(region);
}

void CPNGDialog::StartFadeIn()
{
    // Painted at the alpha of each step: no window opacity, which not
    // every platform offers.
    if (GetSafeHwnd()) SetTimer(kFadeTimerId, kFadeStepMs);
}

void CPNGDialog::FadeStep()
{
    m_nAlpha = NextFadeAlpha(m_nAlpha);
    Invalidate();
    if (m_pContentLayer) m_pContentLayer->update();
    if (m_nAlpha < 255) return;
    KillTimer(kFadeTimerId);
    OnFadedIn();
}

// ---------------------------------------------------------------- showing and sizing

void CPNGDialog::OnShowWindow(bool bShow)
{
    CDialog::OnShowWindow(bShow);
    if (bShow) UpdateShape();
    if (!m_bFadeStarted) {
        m_bFadeStarted = true;
        StartFadeIn();
    }
}

void CPNGDialog::OnSize(unsigned nType, int cx, int cy)
{
    CDialog::OnSize(nType, cx, cy);
    m_bMaximized = IsMaximizedSizeType(nType);
    if (m_pContentLayer) m_pContentLayer->setGeometry(0, 0, cx, cy);
    UpdateShape();
}

// ---------------------------------------------------------------- moving and resizing

void CPNGDialog::OnLButtonDown(unsigned nFlags, CPoint point)
{
    CRect rc;
    GetWindowRect(&rc);
    const int W = rc.Width(), H = rc.Height();
    HWND w = GetSafeHwnd();
    // Where a client cannot place its own window (Wayland) the window
    // system moves and resizes it. On X11 the window follows the pointer
    // from our own handlers: a window manager's move starts only once it
    // has grabbed the pointer and loses the motion before that.
    QWindow* system =
        w && w->isWindow() && QGuiApplication::platformName() != QLatin1String("xcb") ? w->windowHandle() : nullptr;
    if (m_bMovable && InInterior(point.x, point.y, W, H)) {
        SetCursor(m_hCursorHand);
        if (!system || !system->startSystemMove()) {
            m_bMoving = true;
            m_ptMoveGrab = point;
        }
    }
    if (m_bResizable) {
        const int edge = ResizeZone(point.x, point.y, W, H);
        // The border drag's limits are exclusive; the window system keeps
        // them too when it resizes the window itself.
        if (edge != 0 && system) w->setMinimumSize(m_nMinWidth + 1, m_nMinHeight + 1);
        if (edge != 0 && !(system && system->startSystemResize(ZoneEdges(edge)))) {
            m_nResizeEdge = edge;
            if (edge == 3 || edge == 4 || edge == 5) m_nGrabOffsetX = W - point.x;
            if (edge == 1 || edge == 7 || edge == 8) m_nGrabOffsetX = -point.x;
            if (edge == 5 || edge == 6 || edge == 7) m_nGrabOffsetY = H - point.y;
            if (edge == 1 || edge == 2 || edge == 3) m_nGrabOffsetY = -point.y;
            m_nResizeTimer = SetTimer(kResizeTimerId, kResizePollMs);
        }
    }
    CDialog::OnLButtonDown(nFlags, point);
}

void CPNGDialog::OnTimer(unsigned nIDEvent)
{
    if (nIDEvent == kFadeTimerId) FadeStep();
    if (m_bResizable && nIDEvent == kResizeTimerId && m_nResizeEdge != 0) {
        CPoint p;
        GetCursorPos(&p);
        CRect rc;
        GetWindowRect(&rc);
        const CRect next = ResizeStep(m_nResizeEdge, p.x, p.y, m_nGrabOffsetX, m_nGrabOffsetY, rc, m_nMinWidth,
                                      m_nMinHeight);
        if (next != rc) SetGeometry(GeometryOf(GetSafeHwnd(), next));
        SetCursor(EdgeCursor(m_nResizeEdge, m_hCursorSizeWE, m_hCursorSizeNS, m_hCursorSizeNESW, m_hCursorSizeNWSE));
    }
    CDialog::OnTimer(nIDEvent);
}

void CPNGDialog::OnMouseMove(unsigned nFlags, CPoint point)
{
    const bool held = (nFlags & MK_LBUTTON) != 0;
    if (!held && m_nResizeEdge != 0) {
        KillTimer(m_nResizeTimer);
        m_nResizeEdge = 0;
        SetFocus();
    }
    if (!held) m_bMoving = false;
    if (m_bMoving) {
        CPoint p;
        GetCursorPos(&p);
        CRect rc;
        GetWindowRect(&rc);
        const int x = p.x - m_ptMoveGrab.x, y = p.y - m_ptMoveGrab.y;
        SetGeometry(GeometryOf(GetSafeHwnd(), CRect{x, y, x + rc.Width(), y + rc.Height()}));
    }
    if (!m_bMaximized && m_bResizable) {
        if (held && m_nResizeEdge != 0)
            SetCursor(EdgeCursor(m_nResizeEdge, m_hCursorSizeWE, m_hCursorSizeNS, m_hCursorSizeNESW, m_hCursorSizeNWSE));
        CRect rc;
        GetWindowRect(&rc);
        const int zone = ResizeZone(point.x, point.y, rc.Width(), rc.Height());
        if (zone != 0)
            SetCursor(EdgeCursor(zone, m_hCursorSizeWE, m_hCursorSizeNS, m_hCursorSizeNESW, m_hCursorSizeNWSE));
    }
    CDialog::OnMouseMove(nFlags, point);
}

void CPNGDialog::OnLButtonUp(unsigned nFlags, CPoint point)
{
    m_bMoving = false;
    if (m_nResizeEdge != 0) {
        KillTimer(m_nResizeTimer);
        m_nResizeEdge = 0;
        SetFocus();
    }
    CDialog::OnLButtonUp(nFlags, point);
}
