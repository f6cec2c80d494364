// The base of every window of the program: a frameless dialog drawn from a
// PNG skin (nine-slice or whole) with per-pixel alpha into its own surface,
// faded in by painting when first shown, moved by its interior and resized
// by its borders through the window system.
#pragma once

#include "framework.h"
#include "resources.h"

#include <QPainter>
#include <QRect>
#include <QRegion>
#include <QString>

#include <array>

using Graphics = QPainter;

// The nine-slice rectangles (x, y, width, height). Source cells in the PNG
// in cutting order: top-left, top, top-right, right, bottom-right, bottom,
// bottom-left, left, centre.
std::array<QRect, 9> NineSliceSourceRects(int W, int H, int L, int T, int R, int B);
// Destinations in a W x H window in drawing order: top-left, top-right,
// bottom-right, bottom-left, top, right, bottom, left, centre.
std::array<QRect, 9> NineSliceDestRects(int W, int H, int L, int T, int R, int B);
// One step of the fade-in: 20 more, never above 255.
constexpr int NextFadeAlpha(int alpha) { return alpha + 20 > 255 ? 255 : alpha + 20; }
// Whether a size type means maximized (its bit of value 2 is set).
constexpr bool IsMaximizedSizeType(unsigned nType) { return (nType & 2u) != 0; }

// The region of `picture` a window shaped by it keeps: pixels at least half opaque.
QRegion OpaqueRegion(const QImage& picture);

// The border zone under (x, y) of a W x H window: 0 for none (the interior
// or outside), else the edge number 1..8 clockwise from the top-left corner.
// The border is 15 pixels wide, inclusive on the border's side.
int ResizeZone(int x, int y, int W, int H);
// Whether (x, y) lies strictly inside the 15-pixel border.
bool InInterior(int x, int y, int W, int H);
// One step of a border drag: the new window rectangle for the pointer at
// (px, py), or the unchanged one when a limit (exclusive) refuses the step.
CRect ResizeStep(int edge, int px, int py, int gx, int gy, const CRect& rc, int minWidth, int minHeight);

class CPNGDialog : public CDialog {
public:
    CPNGDialog(unsigned templateId, unsigned pngId, int left, int top, int right, int bottom, bool drawCentre);
    CPNGDialog();
    ~CPNGDialog() override;

    bool OnInitDialog() override;
    // Draws the subclass's content over the skin; origin at the window's
    // top-left corner.
    virtual void DrawContent(Graphics* g);
    // The skin, then the content (unless it is drawn above the children).
    void OnPaint(QPainter& painter) override;
    // The window's skin and content as they are painted once faded in,
    // over transparency.
    QImage Picture();
    // Fades the window in from transparent (20 more alpha every 10 ms).
    void StartFadeIn();

    // Message handlers.
    bool OnEraseBkgnd() override { return true; }
    void OnShowWindow(bool bShow) override;
    void OnSize(unsigned nType, int cx, int cy) override;
    void OnLButtonDown(unsigned nFlags, CPoint point) override;
    void OnMouseMove(unsigned nFlags, CPoint point) override;
    void OnLButtonUp(unsigned nFlags, CPoint point) override;
    void OnTimer(unsigned nIDEvent) override;

    bool IsMaximized() const { return m_bMaximized; }
    int Alpha() const { return m_nAlpha; }

protected:
    void PostNcDestroy() override;
    bool LoadBackground(unsigned pngId);
    bool LoadNineSlice(unsigned pngId, int left, int top, int right, int bottom);
    // The content goes on a layer of its own above the child widgets (the
    // live picture), the skin stays below them.
    void DrawContentAboveChildren();
    // The fade-in has reached full alpha.
    virtual void OnFadedIn() {}

    Image m_pBackground;
    int m_nMarginLeft = 0;
    int m_nMarginTop = 0;
    int m_nMarginRight = 0;
    int m_nMarginBottom = 0;
    Image m_pCellTopLeft, m_pCellTop, m_pCellTopRight, m_pCellRight;
    Image m_pCellBottomRight, m_pCellBottom, m_pCellBottomLeft, m_pCellLeft;
    HCURSOR m_hCursorHand;
    HCURSOR m_hCursorSizeNS;
    HCURSOR m_hCursorSizeWE;
    HCURSOR m_hCursorSizeNESW;
    HCURSOR m_hCursorSizeNWSE;
    bool m_bDrawCentre = true;
    bool m_bMovable = true;
    bool m_bResizable = true;
    bool m_bMaximized = false;
    int m_nGrabOffsetX = 0;
    int m_nGrabOffsetY = 0;
    int m_nResizeEdge = 0;
    unsigned m_nResizeTimer = 0;
    int m_nMinWidth = 300;
    int m_nMinHeight = 200;
    int m_nAlpha = 0;
    bool m_bFadeStarted = false;

private:
    void ResetSkin();
    void DrawSkin(QPainter& g, int W, int H);
    void FadeStep();
    // Without a compositor the window is shaped by its skin instead.
    void UpdateShape();
    // Where the window system cannot move the window (a child dialog, or
    // no window manager), it follows the pointer from our own handlers.
    bool m_bMoving = false;
    CPoint m_ptMoveGrab;
    QWidget* m_pContentLayer = nullptr; // a child of the window, gone with it
};
