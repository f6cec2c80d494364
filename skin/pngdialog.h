// The base of every window of the program: a frameless dialog drawn from a
// PNG skin (nine-slice or whole), shown through an owned click-through layer
// window with per-pixel alpha, faded in when first shown, movable by its
// interior and resizable by its borders.
#pragma once

#include "framework.h"
#include "resources.h"

#include <QPainter>
#include <QRect>
#include <QString>

#include <array>
#include <atomic>
#include <map>

using Graphics = QPainter;

class CPNGDialog;

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

// The border zone under (x, y) of a W x H window: 0 for none (the interior
// or outside), else the edge number 1..8 clockwise from the top-left corner.
// The border is 15 pixels wide, inclusive on the border's side.
int ResizeZone(int x, int y, int W, int H);
// Whether (x, y) lies strictly inside the 15-pixel border.
bool InInterior(int x, int y, int W, int H);
// One step of a border drag: the new window rectangle for the pointer at
// (px, py), or the unchanged one when a limit (exclusive) refuses the step.
CRect ResizeStep(int edge, int px, int py, int gx, int gy, const CRect& rc, int minWidth, int minHeight);

// Windows whose paints recompose a skinned dialog's picture.
struct SubclassEntry {
    CPNGDialog* owner = nullptr;
};
extern std::map<HWND, SubclassEntry> g_subclassedWindows;

class CPNGDialog : public CDialog {
public:
    CPNGDialog(unsigned templateId, unsigned pngId, int left, int top, int right, int bottom, bool drawCentre);
    CPNGDialog();
    ~CPNGDialog() override;

    bool OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    // Draws the subclass's content over the skin; the surface is the picture
    // being composed, origin at the window's top-left corner.
    virtual void DrawContent(Graphics* g);

    // Composes the picture and pushes it to the layer window now.
    void RenderLayer();
    void DestroyLayerWindow();
    // Starts the fade-in worker (raises m_nAlpha to 255 in steps of 20).
    void StartFadeIn();

    // Message handlers.
    bool OnEraseBkgnd() override { return true; }
    void OnMove(int x, int y) override;
    void OnShowWindow(bool bShow) override;
    void OnSize(unsigned nType, int cx, int cy) override;
    void OnClose() override;
    void OnLButtonDown(unsigned nFlags, CPoint point) override;
    void OnMouseMove(unsigned nFlags, CPoint point) override;
    void OnLButtonUp(unsigned nFlags, CPoint point) override;
    void OnTimer(unsigned nIDEvent) override;

    HWND LayerWindow() const { return m_hLayerWnd; }
    bool IsMaximized() const { return m_bMaximized; }
    int Alpha() const { return m_nAlpha.load(); }

protected:
    void PostNcDestroy() override;
    bool CreateLayerWindow();
    bool LoadBackground(unsigned pngId);
    bool LoadNineSlice(unsigned pngId, int left, int top, int right, int bottom);
    void SubclassTree(HWND hWnd);
    void UnsubclassTree(HWND hWnd);
    void FadeInThread(CWorkerThread& worker, HWND hWnd);

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
    QString m_strLayerClass;
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
    HWND m_hLayerWnd = nullptr;
    std::atomic<int> m_nAlpha{0};
    bool m_bRendering = false;
    bool m_bFadeStarted = false;

private:
    void ResetSkin();
    // Moving follows the pointer from our own handlers, so that the owned
    // windows move with the dialog during the whole drag.
    bool m_bMoving = false;
    CPoint m_ptMoveGrab;
    CWorkerThread m_fadeWorker;
};
