// The about panel: the program's description, its version, a link to the
// product's web page and a large "Ok" that hides it again.
#pragma once

#include "pngdialog.h"

#include <QRectF>
#include <QString>

// The product's web page: the link's text and the address it opens.
inline constexpr char kProductUrl[] = "https://kinovo.app/";

// The "Ok" area, bounds included.
constexpr bool InOkArea(int x, int y) { return 9 <= x && x <= 407 && 246 <= y && y <= 304; }
// Whether (x, y) lies strictly inside the link's measured box.
bool InLinkBox(const QRectF& link, int x, int y);

class CAboutDlg : public CPNGDialog {
public:
    CAboutDlg();
    ~CAboutDlg() override;

    // Hides the panel and brings the owner back to the top. The panel fades
    // in only at its first opening.
    void ClosePanel();

    void OnOK() override { ClosePanel(); }
    void OnCancel() override { ClosePanel(); }
    void OnClose() override { ClosePanel(); }
    void OnShowWindow(bool bShow) override;
    void OnMouseMove(unsigned nFlags, CPoint point) override;
    void OnLButtonDown(unsigned nFlags, CPoint point) override;
    void DrawContent(Graphics* g) override;

    // What the owner reads and sets.
    using CPNGDialog::m_bMovable;
    using CPNGDialog::m_bResizable;
    bool m_bShown = false;

protected:
    bool m_bOkHover = false;
    QRectF m_rcLink; // as measured at the last drawing
};
