// The pop-up list from which the user picks a camera, a microphone or a
// capture mode. It never sends anything: a click on an item leaves the
// item's index in m_nSelected and hides the panel; the owner picks the
// choice up once the panel is closed.
#pragma once

#include "pngdialog.h"

#include <QString>

#include <vector>

// List geometry in client pixels (the panel is kListPanelWidth wide when open).
inline constexpr int kListPanelWidth = 280;
inline constexpr int kListRowHeight = 40;
inline constexpr int kListTop = 6;
// Height of an open list of `count` items: an empty list is as high as a
// one-item list.
constexpr int ListPanelHeight(int count) { return count > 0 ? count * kListRowHeight + 36 : 76; }
// The row under (x, y) of a W-wide list of `count` items: 0..count-1 an
// item, count the strip below the last item, -1 none.
int ListRowAt(int x, int y, int W, int count);

class CBottomMenu : public CPNGDialog {
public:
    CBottomMenu();
    ~CBottomMenu() override;

    // Appends a copy of `icon` (none stays none) and the text.
    void AddItem(const QImage* icon, QString text);
    void ClearItems();
    // Hides the panel for reuse; the next opening fades in again.
    void ClosePanel();

    void OnOK() override { ClosePanel(); }
    void OnCancel() override { ClosePanel(); }
    void OnClose() override { ClosePanel(); }
    void OnShowWindow(bool bShow) override;
    void OnMouseMove(unsigned nFlags, CPoint point) override;
    void OnLButtonDown(unsigned nFlags, CPoint point) override;
    void DrawContent(Graphics* g) override;

    // What the owner reads and sets.
    using CPNGDialog::m_bFadeStarted;
    using CPNGDialog::m_bMovable;
    using CPNGDialog::m_bResizable;
    using CPNGDialog::m_nAlpha;
    int m_nHover = -1;
    int m_nSelected = -1;
    int m_nCount = 0;
    bool m_bShown = false;

protected:
    std::vector<Image> m_icons;
    std::vector<QString> m_texts;
    bool m_bHasIcons = false;
};
