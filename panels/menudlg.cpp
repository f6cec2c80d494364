#include "menudlg.h"

#include "draw.h"

#include "capture/image_adjustments.h"

#include <algorithm>

namespace {

constexpr unsigned kTemplate = 132;
constexpr unsigned kSkinPng = 133;
constexpr unsigned kIconsPng = 143;
constexpr int kIconSize = 32;

constexpr int kRowHeight = 40;
constexpr int kRowTop = 19;
constexpr int kTrackX = 56;
constexpr int kTrackWidth = 200;
// Rows are drawn while their icon starts above this line.
constexpr int kLastIconTop = 343;

constexpr std::uint32_t kHighlightFill = 0xFFE9E9E9;
constexpr std::uint32_t kHighlightEdge = 0xA08A91A3;

bool OutsideRows(int x, int y, int rows)
{
    return y < kRowTop || y > rows * kRowHeight + 64 || x < 10 || x > 265;
}

std::int64_t SpanOf(const kinovo::ImageProperty& range)
{
    const std::int64_t r = std::int64_t{range.max} - range.min;
    return r == 0 ? 1 : r;
}

} // namespace

int SettingsRowAt(int x, int y, int W, int rows)
{
    if (OutsideRows(x, y, rows)) return -1;
    const int r = (y - kRowTop) / kRowHeight;
    if (r > rows) return -1;
    if (r == rows) return (213 <= x && x < W - 10) ? r : -1;
    return r;
}

int ClickSliderPos(int x)
{
    if (56 <= x && x <= 255) return x - kTrackX;
    if (51 <= x && x <= 55) return 0;
    return -1;
}

int DragSliderPos(int x)
{
    if (56 <= x && x <= 265) return x - kTrackX;
    if (11 <= x && x <= 55) return 0;
    return -1;
}

std::int32_t SliderValue(const kinovo::ImageProperty& range, int pos)
{
    // 64-bit: a camera may report a range as wide as the whole int32 span.
    const std::int64_t t = std::int64_t{pos} * SpanOf(range);
    std::int64_t value = range.min + t / kTrackWidth;
    if (t % kTrackWidth > range.step) value += range.step;
    if (value > range.max) value = range.max;
    if (value < range.min) value = range.min;
    return static_cast<std::int32_t>(value);
}

int SliderFill(const kinovo::ImageProperty& range)
{
    const std::int64_t fill = (std::int64_t{range.value} - range.min) * kTrackWidth / SpanOf(range);
    // A value outside the reported range still keeps the knob on the track.
    return static_cast<int>(std::clamp<std::int64_t>(fill, 0, kTrackWidth));
}

QString SettingCaption(SettingKind kind)
{
    switch (kind) {
    case SettingKind::Brightness: return QStringLiteral("Brightness");
    case SettingKind::Contrast: return QStringLiteral("Contrast");
    case SettingKind::Saturation: return QStringLiteral("Saturation");
    case SettingKind::Sharpness: return QStringLiteral("Sharpness");
    case SettingKind::Gamma: return QStringLiteral("Gamma");
    case SettingKind::WhiteBalance: return QStringLiteral("White balance");
    case SettingKind::ResetIcon: break;
    }
    return {};
}

kinovo::ImageControl ControlOfKind(SettingKind kind)
{
    // SettingKind takes its numbers from the engine's controls.
    return static_cast<kinovo::ImageControl>(static_cast<int>(kind));
}

CMenuDlg::CMenuDlg() : CPNGDialog(kTemplate, kSkinPng, 50, 20, 15, 15, true)
{
    const Image sheet = LoadPngResource(kIconsPng);
    for (int k = 0; k <= kSettingKinds; ++k) {
        m_pIcons[static_cast<std::size_t>(k)] = CutCell(sheet.get(), kIconSize * k, 0, kIconSize, kIconSize);
        m_pIconsHot[static_cast<std::size_t>(k)] =
            CutCell(sheet.get(), kIconSize * k, kIconSize, kIconSize, kIconSize);
    }
}

CMenuDlg::~CMenuDlg() = default;

void CMenuDlg::ClosePanel()
{
    Hide();
    m_nAlpha = 0;
    m_bFadeStarted = false;
    m_bShown = false;
    m_nRows = 0;
    m_nHover = -1;
}

void CMenuDlg::BuildRows()
{
    m_nHover = -1;
    m_nRows = 0;
    if (!m_pDevice) return;
    for (int k = 0; k < kSettingKinds && m_nRows < kMaxSettingRows; ++k) {
        const auto kind = static_cast<SettingKind>(k);
        if (!m_pDevice->property(kinovo::SlotOfControl(ControlOfKind(kind))).valid) continue;
        m_rowKind[static_cast<std::size_t>(m_nRows)] = kind;
        m_rowName[static_cast<std::size_t>(m_nRows)] = SettingCaption(kind);
        ++m_nRows;
    }
}

void CMenuDlg::OnShowWindow(bool bShow)
{
    // A fade still running from a short earlier opening may have raised
    // the alpha again since the panel closed.
    if (bShow && !m_bFadeStarted) m_nAlpha = 0;
    CPNGDialog::OnShowWindow(bShow);
    BuildRows();
    Resize(QSize(kSettingsPanelWidth, SettingsPanelHeight(m_nRows)));
    Raise();
    m_bShown = true;
}

void CMenuDlg::OnMouseMove(unsigned nFlags, CPoint point)
{
    const int previous = m_nHover;
    CRect rc;
    GetWindowRect(&rc);
    if (OutsideRows(point.x, point.y, m_nRows)) {
        m_nHover = -1;
        Invalidate();
    } else {
        m_nHover = SettingsRowAt(point.x, point.y, rc.Width(), m_nRows);
        if (m_nHover != -1) SetCursor(m_hCursorHand);
        const bool onSetting = m_nHover >= 0 && m_nHover < m_nRows;
        if (m_nHover != previous) {
            if (onSetting && m_pDevice) {
                const SettingKind kind = m_rowKind[static_cast<std::size_t>(m_nHover)];
                m_range = m_pDevice->property(kinovo::SlotOfControl(ControlOfKind(kind)));
            }
            Invalidate();
        }
        // A drag acts only while the pointer stays on the row it was on.
        if ((nFlags & MK_LBUTTON) && onSetting && m_nHover == previous) {
            SetCursor(m_hCursorHand);
            ApplySliderPosition(DragSliderPos(point.x));
        }
    }
    CPNGDialog::OnMouseMove(nFlags, point);
}

void CMenuDlg::OnLButtonDown(unsigned nFlags, CPoint point)
{
    if (m_nHover >= 0 && m_nHover < m_nRows) {
        SetCursor(m_hCursorHand);
        ApplySliderPosition(ClickSliderPos(point.x));
    } else if (m_nHover == m_nRows) {
        SetCursor(m_hCursorHand);
        if (m_pDevice) kinovo::ResetImageProperties(*m_pDevice);
    }
    CPNGDialog::OnLButtonDown(nFlags, point);
}

void CMenuDlg::ApplySliderPosition(int pos)
{
    if (pos < 0 || m_nHover < 0 || m_nHover >= m_nRows) return;
    const int h = m_nHover;
    const std::int32_t value = SliderValue(m_range, pos);
    m_range.value = value;
    CRect rc;
    GetWindowRect(&rc);
    InvalidateRect(CRect{50, 20 + kRowHeight * h, rc.Width(), 58 + kRowHeight * h});
    // The engine snaps the value to its step; the knob keeps the panel's value
    // until the row is entered again.
    if (m_pDevice)
        kinovo::SetImageProperty(*m_pDevice, ControlOfKind(m_rowKind[static_cast<std::size_t>(h)]), value);
}

void CMenuDlg::DrawContent(Graphics* g)
{
    SetSmoothingMode(g, SmoothingMode::AntiAlias);
    const int W = g->device()->width();
    const int h = m_nHover;
    if (h >= 0 && h < m_nRows)
        FillStrokeRoundRect(g, QBrush(Argb(kHighlightFill)), MakePen(kHighlightEdge),
                            QRectF(10, kRowTop + kRowHeight * h, W - 24, kRowHeight));
    else if (h == m_nRows)
        FillStrokeRoundRect(g, QBrush(Argb(kHighlightFill)), MakePen(kHighlightEdge),
                            QRectF(W - 54, kRowTop + kRowHeight * h, 40, 40));

    const QFont font = MakeFont(QStringLiteral("Arial"), 12);
    const auto drawIcon = [g](const Image& icon, int x, int y) {
        if (icon && !icon->isNull()) g->drawImage(x, y, *icon);
    };
    for (int i = 0; i < m_nRows && 23 + kRowHeight * i < kLastIconTop; ++i) {
        const int y = 23 + kRowHeight * i;
        const auto kind = static_cast<std::size_t>(m_rowKind[static_cast<std::size_t>(i)]);
        if (i != h) {
            DrawHaloText(g, font, m_rowName[static_cast<std::size_t>(i)], QRectF(56, y + 6, W - 60, 20));
            drawIcon(m_pIcons[kind], 16, y);
            continue;
        }
        drawIcon(m_pIconsHot[kind], 16, y);

        const int fill = SliderFill(m_range);
        const double top = 34 + kRowHeight * h;
        const QRectF track(kTrackX, top, kTrackWidth, 9);
        const QPainterPath trackPath = MakeRoundRectPath(track, 3);
        FillPath(g, VerticalGradient(track, 0xFFA0ABBF, 0xFFCBCFDA), trackPath);
        DrawPath(g, MakePen(0xDC8A91A3), trackPath);
        if (fill > 10) {
            const QPainterPath filled = MakeRoundRectPath(QRectF(kTrackX, top, fill, 9), 3);
            FillPath(g, VerticalGradient(QRectF(kTrackX, top + 1, kTrackWidth, 8), 0xFF73A9D7, 0xFF5E9DD7), filled);
            DrawPath(g, MakePen(0xDC486B8B), filled);
            DrawLine(g, MakePen(0xFF74AAD9), QPointF(60, top + 1), QPointF(52 + fill, top + 1));
        }
        // Two rings, the second a pixel lower, mostly covered by the disc:
        // a dark rim that is thicker at the bottom.
        const QRectF knob(47 + fill, 30 + kRowHeight * h, 17, 17);
        const QPen rim = MakePen(0xA0646464);
        DrawEllipse(g, rim, knob);
        DrawEllipse(g, rim, knob.translated(0, 1));
        FillEllipse(g, VerticalGradient(knob, 0xFFF5F6F8, 0xFFE0E7ED), knob);
    }
    const auto reset = static_cast<std::size_t>(SettingKind::ResetIcon);
    drawIcon(h == m_nRows ? m_pIconsHot[reset] : m_pIcons[reset], W - 48, 22 + kRowHeight * m_nRows);
}
