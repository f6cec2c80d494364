#include "pngdialog.h"

#include "layerwindow.h"
#include "skin_log.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QWidget>

#include <cstdlib>

std::map<HWND, SubclassEntry> g_subclassedWindows;

namespace {

constexpr int kBorder = 15;
constexpr unsigned kResizeTimerId = 1;
constexpr int kResizePollMs = 50;
constexpr int kFadeStepMs = 10;

// Recomposes the owning dialog's picture after each paint of a window in
// g_subclassedWindows; every other event passes untouched.
class LayerWndProc final : public QObject {
public:
    bool eventFilter(QObject* obj, QEvent* e) override
    {
        if (e->type() != QEvent::Paint && e->type() != SyncPaintEventType()) return false;
        auto* w = qobject_cast<QWidget*>(obj);
        const auto it = g_subclassedWindows.find(w);
        if (it == g_subclassedWindows.end()) return false;
        CPNGDialog* owner = it->second.owner;
        // The window's own handling first, then the recomposition.
        const bool result = static_cast<QObject*>(w)->event(e);
        owner->RenderLayer();
        return result || true;
    }
};

LayerWndProc& Filter()
{
    static LayerWndProc* filter = new LayerWndProc; // lives as long as the process
    return *filter;
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

CPNGDialog::CPNGDialog(unsigned templateId, unsigned pngId, int left, int top, int right, int bottom,
                       bool drawCentre)
    : CDialog(templateId),
      m_hCursorHand(LoadCursor(IDC_HAND)),
      m_hCursorSizeNS(LoadCursor(IDC_SIZENS)),
      m_hCursorSizeWE(LoadCursor(IDC_SIZEWE)),
      m_hCursorSizeNESW(LoadCursor(IDC_SIZENESW)),
      m_hCursorSizeNWSE(LoadCursor(IDC_SIZENWSE)),
      m_strLayerClass(UniqueClassName(QStringLiteral("TransparentWnd"))),
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
      m_strLayerClass(UniqueClassName(QStringLiteral("TransparentWnd"))),
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
    CRect rc;
    GetWindowRect(&rc);
    SetWindowPos(nullptr, 0, 0, rc.Width(), rc.Height(), SWP_NOZORDER | SWP_NOMOVE);
    CreateLayerWindow();
    // Without a compositor the dialog shows through where the layer is
    // shaped away; black reads as "no picture" there.
    if (HWND w = GetSafeHwnd()) {
        QPalette pal = w->palette();
        pal.setColor(QPalette::Window, Qt::black);
        w->setPalette(pal);
        w->setAutoFillBackground(true);
    }
    SetWindowOpacity(1.0 / 255.0);
    SubclassTree(GetSafeHwnd());
    return true;
}

bool CPNGDialog::CreateLayerWindow()
{
    if (m_hLayerWnd) DestroyLayerWindow();
    RegisterWindowClass(m_strLayerClass); // already registered: the existing class serves
    // The dialog's own window must exist first, so that the window manager
    // learns whose window the layer is and keeps it above it.
    if (HWND w = GetSafeHwnd()) w->winId();
    CRect rc;
    GetWindowRect(&rc);
    m_hLayerWnd = ::CreateLayerWindow(m_strLayerClass, GetSafeHwnd(), rc);
    return m_hLayerWnd != nullptr;
}

void CPNGDialog::DestroyLayerWindow()
{
    if (!m_hLayerWnd) return;
    DestroyLayerWindowObject(m_hLayerWnd);
    m_hLayerWnd = nullptr;
    UnregisterWindowClass(m_strLayerClass);
}

void CPNGDialog::SubclassTree(HWND hWnd)
{
    if (!IsWindow(hWnd)) return;
    g_subclassedWindows[hWnd] = SubclassEntry{this};
    hWnd->removeEventFilter(&Filter());
    hWnd->installEventFilter(&Filter());
    for (HWND child : ChildWindows(hWnd)) SubclassTree(child);
}

void CPNGDialog::UnsubclassTree(HWND hWnd)
{
    if (!IsWindow(hWnd)) return;
    g_subclassedWindows.erase(hWnd);
    for (HWND child : ChildWindows(hWnd)) UnsubclassTree(child);
}

void CPNGDialog::PostNcDestroy()
{
    // The worker sends to this window; it must be gone before the window is.
    m_fadeWorker.Stop();
    UnsubclassTree(GetSafeHwnd());
    // An owned window goes with its owner.
    DestroyLayerWindow();
    CDialog::PostNcDestroy();
}

void CPNGDialog::OnOK()
{
    DestroyLayerWindow();
    CDialog::OnOK();
}

void CPNGDialog::OnCancel()
{
    DestroyLayerWindow();
    CDialog::OnCancel();
}

void CPNGDialog::OnClose()
{
    DestroyLayerWindow();
    CDialog::OnClose();
}

void CPNGDialog::DrawContent(Graphics*) {}

// ---------------------------------------------------------------- composition

void CPNGDialog::RenderLayer()
{
    if (m_bRendering) return;
    m_bRendering = true;
    CRect rc;
    GetWindowRect(&rc);
    const int W = rc.Width(), H = rc.Height();
    const int alpha = m_nAlpha.load() & 0xFF;
    QImage canvas;
    if (W > 0 && H > 0) {
        canvas = QImage(W, H, QImage::Format_ARGB32_Premultiplied);
        if (canvas.isNull()) qCWarning(lcSkin) << "window" << W << "x" << H << ": no memory for its picture";
    }
    if (!canvas.isNull()) {
        canvas.fill(Qt::transparent);
        {
            QPainter g(&canvas);
            g.setRenderHint(QPainter::SmoothPixmapTransform, false);
            if (!m_bMaximized) {
                const auto draw = [&g](const Image& img, const QRect& dst) {
                    if (img && !img->isNull() && dst.width() > 0 && dst.height() > 0) g.drawImage(dst, *img);
                };
                if (m_pCellTopLeft) {
                    const auto dst = NineSliceDestRects(W, H, m_nMarginLeft, m_nMarginTop, m_nMarginRight,
                                                        m_nMarginBottom);
                    const Image* imgs[] = {&m_pCellTopLeft, &m_pCellTopRight, &m_pCellBottomRight,
                                           &m_pCellBottomLeft, &m_pCellTop, &m_pCellRight,
                                           &m_pCellBottom, &m_pCellLeft};
                    for (int i = 0; i < 8; ++i) draw(*imgs[i], dst[i]);
                    if (m_bDrawCentre) draw(m_pBackground, dst[8]);
                } else {
                    draw(m_pBackground, QRect(0, 0, W, H));
                }
            }
            DrawContent(&g);
        }
        UpdateLayeredWindow(m_hLayerWnd, {rc.left, rc.top}, {W, H}, canvas, alpha);
        if (!IsCompositingActive() && GetSafeHwnd()) {
            // Shaped instead of translucent: the dialog keeps what the layer
            // shows, plus the centre that the main window fills itself.
            QRegion region = OpaqueRegion(canvas);
            if (!m_bDrawCentre && m_pCellTopLeft)
                region |= QRect(m_nMarginLeft, m_nMarginTop, W - m_nMarginLeft - m_nMarginRight,
                                H - m_nMarginTop - m_nMarginBottom);
            if (GetSafeHwnd()->mask() != region) GetSafeHwnd()->setMask(region);
        }
    }
    m_bRendering = false;
}

void CPNGDialog::StartFadeIn()
{
    HWND hWnd = GetSafeHwnd();
    if (!hWnd) return;
    m_fadeWorker.Start([this, hWnd](CWorkerThread& worker) { FadeInThread(worker, hWnd); });
}

void CPNGDialog::FadeInThread(CWorkerThread& worker, HWND hWnd)
{
    while (m_nAlpha.load() < 255) {
        m_nAlpha.store(NextFadeAlpha(m_nAlpha.load()));
        if (!worker.SendPaint(hWnd)) return;
        if (!worker.Sleep(kFadeStepMs)) return;
    }
}

// ---------------------------------------------------------------- following the dialog

void CPNGDialog::OnMove(int x, int y)
{
    CDialog::OnMove(x, y);
    if (m_hLayerWnd) ::SetWindowPos(m_hLayerWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

void CPNGDialog::OnShowWindow(bool bShow)
{
    CDialog::OnShowWindow(bShow);
    if (m_hLayerWnd) ::ShowWindow(m_hLayerWnd, bShow ? SW_SHOWNA : SW_HIDE);
    if (!m_bFadeStarted) {
        m_bFadeStarted = true;
        StartFadeIn();
    }
}

void CPNGDialog::OnSize(unsigned nType, int cx, int cy)
{
    CDialog::OnSize(nType, cx, cy);
    if (!m_hLayerWnd) return;
    // The layer only mirrors the dialog: it is shown with it, never
    // maximized by the window manager on its own, and takes its size.
    m_bMaximized = IsMaximizedSizeType(nType);
    if (IsWindowVisible() && !m_hLayerWnd->isVisible()) ::ShowWindow(m_hLayerWnd, SW_SHOWNA);
    ::SetWindowPos(m_hLayerWnd, nullptr, 0, 0, cx, cy, SWP_NOMOVE | SWP_NOZORDER);
}

// ---------------------------------------------------------------- moving and resizing

void CPNGDialog::OnLButtonDown(unsigned nFlags, CPoint point)
{
    CRect rc;
    GetWindowRect(&rc);
    const int W = rc.Width(), H = rc.Height();
    if (m_bMovable && InInterior(point.x, point.y, W, H)) {
        m_bMoving = true;
        m_ptMoveGrab = point;
        SetCursor(m_hCursorHand);
    }
    if (m_bResizable) {
        const int edge = ResizeZone(point.x, point.y, W, H);
        if (edge != 0) {
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
    if (m_bResizable && nIDEvent == kResizeTimerId && m_nResizeEdge != 0) {
        CPoint p;
        GetCursorPos(&p);
        CRect rc;
        GetWindowRect(&rc);
        const CRect next = ResizeStep(m_nResizeEdge, p.x, p.y, m_nGrabOffsetX, m_nGrabOffsetY, rc, m_nMinWidth,
                                      m_nMinHeight);
        if (next != rc) SetWindowPos(nullptr, next.left, next.top, next.Width(), next.Height(), SWP_NOZORDER);
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
        // The layer goes along in the same step rather than after the window
        // manager confirms the dialog's move.
        CPoint p;
        GetCursorPos(&p);
        const int x = p.x - m_ptMoveGrab.x, y = p.y - m_ptMoveGrab.y;
        SetWindowPos(nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        if (m_hLayerWnd) ::SetWindowPos(m_hLayerWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
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
    if (m_bMoving && m_hLayerWnd) {
        CRect rc;
        GetWindowRect(&rc);
        ::SetWindowPos(m_hLayerWnd, nullptr, rc.left, rc.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    m_bMoving = false;
    if (m_nResizeEdge != 0) {
        KillTimer(m_nResizeTimer);
        m_nResizeEdge = 0;
        SetFocus();
    }
    CDialog::OnLButtonUp(nFlags, point);
}
