#include "aboutdlg.h"

#include "draw.h"
#include "kinovo_version.h"
#include "panels_log.h"

#include <QDesktopServices>
#include <QUrl>

namespace {

constexpr std::uint32_t kGrey = 0xFF787878;
constexpr std::uint32_t kBlue = 0xFF3B83BD;
const CRect kOkRepaint{7, 242, 408, 305};

} // namespace

bool InLinkBox(const QRectF& link, int x, int y)
{
    return x > link.left() && x < link.left() + link.width() && y > link.top() && y < link.top() + link.height();
}

CAboutDlg::CAboutDlg() = default;

CAboutDlg::~CAboutDlg() = default;

void CAboutDlg::ClosePanel()
{
    Hide();
    m_bShown = false;
}

void CAboutDlg::OnShowWindow(bool bShow)
{
    CPNGDialog::OnShowWindow(bShow);
    Raise();
    m_bShown = true;
}

void CAboutDlg::OnMouseMove(unsigned nFlags, CPoint point)
{
    if (InOkArea(point.x, point.y)) {
        if (!m_bOkHover) {
            m_bOkHover = true;
            InvalidateRect(kOkRepaint);
        }
        SetCursor(m_hCursorHand);
    } else if (m_bOkHover) {
        m_bOkHover = false;
        InvalidateRect(kOkRepaint);
    }
    if (InLinkBox(m_rcLink, point.x, point.y)) SetCursor(m_hCursorHand);
    CPNGDialog::OnMouseMove(nFlags, point);
}

void CAboutDlg::OnLButtonDown(unsigned nFlags, CPoint point)
{
    if (InOkArea(point.x, point.y)) ClosePanel();
    // A page that cannot be opened is not shown to the user, only logged.
    if (InLinkBox(m_rcLink, point.x, point.y) && !QDesktopServices::openUrl(QUrl(QString::fromLatin1(kProductUrl))))
        qCWarning(lcPanels) << "about panel: QDesktopServices::openUrl of" << kProductUrl
                            << "failed (no browser or URL handler)";
    CPNGDialog::OnLButtonDown(nFlags, point);
}

void CAboutDlg::DrawContent(Graphics* g)
{
    SetSmoothingMode(g, SmoothingMode::HighQuality);
    const QString arial = QStringLiteral("Arial");
    const QFont regular = MakeFont(arial, 12);
    const QFont link = MakeFont(arial, 10, FontUnderline);
    const QFont large = MakeFont(arial, 24);

    DrawString(g, QStringLiteral("Webcam video recording and photo"), regular, QRectF(115, 80, 290, 20),
               StringAlignment::Near, Argb(kGrey));
    const QString version = QStringLiteral("version ") + QLatin1String(kKinovoVersion);
    DrawString(g, version, regular, QRectF(20, 110, 365, 20), StringAlignment::Far, Argb(kBlue));
    const QString url = QString::fromLatin1(kProductUrl);
    const QRectF linkRect(15, 220, 385, 20);
    DrawString(g, url, link, linkRect, StringAlignment::Near, Argb(kBlue));
    m_rcLink = MeasureString(url, link, linkRect);
    if (m_bOkHover)
        FillRectangle(g, VerticalGradient(QRectF(7, 242, 400, 40), 0xF0FAFAFA, 0x00FFFFFF), QRectF(7, 242, 400, 38));
    DrawString(g, QStringLiteral("Ok"), large, QRectF(7, 255, 400, 70), StringAlignment::Center, Argb(kBlue));
}
