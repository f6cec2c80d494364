#include "bottommenu.h"

#include "draw.h"

#include <algorithm>

namespace {

constexpr unsigned kTemplate = 132;
constexpr unsigned kSkinPng = 135;

constexpr std::uint32_t kHighlightFill = 0xFFE9E9E9;
constexpr std::uint32_t kHighlightEdge = 0xA08A91A3;
constexpr std::uint32_t kTextBlue = 0xFF3B83BD;

// The strip below the last item reacts only at its right end.
constexpr int kStripLeft = 213;

void DrawHighlight(Graphics* g, int row, int W)
{
    FillStrokeRoundRect(g, QBrush(Argb(kHighlightFill)), MakePen(kHighlightEdge),
                        QRectF(10, kListTop + kListRowHeight * row, W - 24, kListRowHeight));
}

bool OutsideRows(int x, int y, int count)
{
    return y < kListTop || y > count * kListRowHeight + 46 || x < 10 || x > 265;
}

} // namespace

int ListRowAt(int x, int y, int W, int count)
{
    if (OutsideRows(x, y, count)) return -1;
    const int r = (y - kListTop) / kListRowHeight;
    if (r > count) return -1;
    if (r == count) return (kStripLeft <= x && x < W - 10) ? r : -1;
    return r;
}

CBottomMenu::CBottomMenu() : CPNGDialog(kTemplate, kSkinPng, 50, 15, 15, 32, true) {}

CBottomMenu::~CBottomMenu() = default;

void CBottomMenu::AddItem(const QImage* icon, QString text)
{
    m_icons.push_back(icon ? std::make_unique<QImage>(icon->copy()) : nullptr);
    m_texts.push_back(std::move(text));
    m_nCount = static_cast<int>(m_texts.size());
}

void CBottomMenu::ClearItems()
{
    m_icons.clear();
    m_texts.clear();
    m_nCount = 0;
    m_nHover = -1;
    m_nSelected = -1;
    m_bHasIcons = false;
}

void CBottomMenu::ClosePanel()
{
    Hide();
    m_nAlpha = 0;
    m_bFadeStarted = false;
    m_bShown = false;
    m_nHover = -1;
}

void CBottomMenu::OnShowWindow(bool bShow)
{
    // A fade still running from a short earlier opening may have raised
    // the alpha again since the panel closed.
    if (bShow && !m_bFadeStarted) m_nAlpha = 0;
    CPNGDialog::OnShowWindow(bShow);
    m_bHasIcons = std::any_of(m_icons.begin(), m_icons.end(), [](const Image& i) { return i != nullptr; });
    m_nCount = static_cast<int>(m_texts.size());
    Resize(QSize(kListPanelWidth, ListPanelHeight(m_nCount)));
    Raise();
    m_bShown = true;
    m_nHover = -1;
}

void CBottomMenu::OnMouseMove(unsigned nFlags, CPoint point)
{
    const int previous = m_nHover;
    CRect rc;
    GetWindowRect(&rc);
    m_nHover = ListRowAt(point.x, point.y, rc.Width(), m_nCount);
    if (m_nHover != -1) SetCursor(m_hCursorHand);
    // Outside the rows the panel is repainted on every move.
    if (m_nHover != previous || OutsideRows(point.x, point.y, m_nCount)) Invalidate();
    CPNGDialog::OnMouseMove(nFlags, point);
}

void CBottomMenu::OnLButtonDown(unsigned nFlags, CPoint point)
{
    if (m_nHover >= 0 && m_nHover < m_nCount && m_nHover != m_nSelected) {
        SetCursor(m_hCursorHand);
        m_nSelected = m_nHover;
        Invalidate();
        OnOK();
    }
    CPNGDialog::OnLButtonDown(nFlags, point);
}

void CBottomMenu::DrawContent(Graphics* g)
{
    SetSmoothingMode(g, SmoothingMode::AntiAlias);
    const int W = g->device()->width();
    if (m_nSelected != -1) DrawHighlight(g, m_nSelected, W);
    if (m_nHover != -1 && m_nHover != m_nSelected) DrawHighlight(g, m_nHover, W);

    const QFont regular = MakeFont(QStringLiteral("Arial"), 12);
    const QFont bold = MakeFont(QStringLiteral("Arial"), 12, FontBold);
    const int x = m_bHasIcons ? 56 : 16;
    const int count = std::min<int>(m_nCount, static_cast<int>(m_texts.size()));
    for (int i = 0; i < count; ++i) {
        const int y = 16 + kListRowHeight * i;
        if (const Image& icon = m_icons[static_cast<std::size_t>(i)]; icon && !icon->isNull())
            g->drawImage(16, y - 6, *icon);
        const QString& text = m_texts[static_cast<std::size_t>(i)];
        const bool selected = i == m_nSelected;
        const bool hovered = i == m_nHover && !selected;
        if (!selected && !hovered) {
            DrawHaloText(g, regular, text, QRectF(x, y, m_bHasIcons ? W - 60 : W - 30, 20));
            continue;
        }
        // Highlighted rows end their text earlier.
        const QRectF rc(x, y, m_bHasIcons ? W - 70 : W - 35, 20);
        DrawString(g, text, selected ? bold : regular, rc, StringAlignment::Near, Argb(kTextBlue));
    }
}
