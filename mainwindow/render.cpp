// What the main window draws over the live picture.
#include "kinovodlg.h"

#include "draw.h"

#include <algorithm>
#include <ctime>

namespace {

constexpr std::uint32_t kTopBars[7] = {0xC8FFFFFF, 0xC8FFFF00, 0xC82BD4FF, 0xC800FF00,
                                       0xC8FF00CD, 0xC8FF0000, 0xC80000FF};
constexpr std::uint32_t kMiddleBars[7] = {0xC80000FF, 0xC8000000, 0xC8FF00CD, 0xC8000000,
                                          0xC8ABFFEF, 0xC8000000, 0xC8B4B4B4};
constexpr std::uint32_t kBottomBlocks[6] = {0xC8000080, 0xC8FFFFFF, 0xC8000080,
                                            0xC8000000, 0xC8000000, 0xC8000000};
constexpr std::uint32_t kSteps[4] = {0xC8000000, 0xC82C2C2C, 0xC8565656, 0xC8808080};

// Text measured without a layout limit.
QRectF MeasureFree(const QString& text, const QFont& font)
{
    return MeasureString(text, font, QRectF(0, 0, 1e6, 1e6));
}

} // namespace

void CKinovoDlg::DrawContent(Graphics* g)
{
    CRect rc;
    GetWindowRect(&rc);
    const int W = rc.Width(), H = rc.Height();
    SetSmoothingMode(g, SmoothingMode::AntiAlias);
    // A damaged signal's box lets the live picture show through.
    if (m_nCaptureState < 0)
        DrawTestPicture(g, W, H);
    else if (m_damagedSignal.shown())
        DrawLabelBox(g, W, H, QStringLiteral("DAMAGED SIGNAL"));
    if (m_bShutterActive) {
        DrawShutterView(g, W, H);
        return;
    }
    DrawBottomBar(g, W, H);
    const auto rects = ButtonRects(W, H, m_buttons[Mode].state >= 0);
    for (ButtonId id : {Photo, Record}) {
        if (m_nCaptureState < 0) m_buttons[id].state = 2;
        m_buttons[id].rc = rects[id];
        DrawButton(g, id);
    }
    m_buttons[About].rc = rects[About];
    DrawButton(g, About);
    if (m_nCaptureState == Recording) DrawClock(g, W, H);
    if (m_bButtonsHidden) return;
    for (ButtonId id : {Close, Settings, Camera, Microphone}) m_buttons[id].rc = rects[id];
    if (m_nCaptureState == Recording && m_bSilentMic) {
        // The clock covers the button's own place: it goes left of the clock.
        const CRect& r = rects[Microphone];
        m_buttons[Microphone].rc = {r.left - 112, r.top, r.right - 112, r.bottom};
    }
    if (m_buttons[Mode].state >= 0) m_buttons[Mode].rc = rects[Mode];
    DrawButton(g, Close);
    if (!CameraWorks()) return;
    DrawButton(g, Settings);
    if (m_nCaptureState == Recording) {
        // A silent microphone is pointed out beside the clock.
        if (m_bSilentMic) DrawButton(g, Microphone);
        return;
    }
    DrawButton(g, Camera);
    DrawButton(g, Microphone);
    DrawButton(g, Mode);
}

void CKinovoDlg::DrawTestPicture(Graphics* g, int W, int H)
{
    const double w = W - 29, h = H - 29;
    const double barW = w / 7, topH = 2 * h / 3, midH = topH / 8;
    for (int i = 0; i < 7; ++i) {
        FillRectangle(g, Argb(kTopBars[i]), QRectF(14 + i * barW, 14, barW, topH));
        FillRectangle(g, Argb(kMiddleBars[i]), QRectF(14 + i * barW, 14 + topH, barW, midH));
    }
    const double y0 = 14 + topH + midH, blockW = w / 6, bottomH = (H - 16) - y0;
    for (int i = 0; i < 6; ++i)
        FillRectangle(g, Argb(kBottomBlocks[i]), QRectF(14 + i * blockW, y0, blockW, bottomH));
    for (int j = 0; j < 4; ++j)
        FillRectangle(g, Argb(kSteps[j]), QRectF(14 + 4 * blockW + j * (blockW / 4), y0, blockW / 4, bottomH));

    DrawLabelBox(g, W, H, m_nCaptureState == NoCamera ? QStringLiteral("NO CAMERA") : QStringLiteral("NO SIGNAL"));
}

void CKinovoDlg::DrawLabelBox(Graphics* g, int W, int H, const QString& text)
{
    const double w = W - 29, h = H - 29;
    const QFont font = MakeFont(QStringLiteral("Arial Black"), 32);
    const QRectF size = MeasureFree(text, font);
    const double boxW = size.width() + 40, boxH = size.height() + 40;
    const double x = (w - boxW) / 2, y = h / 4;
    FillRectangle(g, Argb(0xC8000000), QRectF(x, y, boxW, boxH));
    DrawString(g, text, font, QRectF(x, y + 20, boxW, boxH), StringAlignment::Center, Argb(0xC8FFFFFF));

    // Who streams from a busy camera, in a smaller box of its own under the label.
    if (m_nCaptureState != NoSignal || m_strCameraHolder.isEmpty()) return;
    const QFont small = MakeFont(QStringLiteral("Arial Black"), 14);
    const QRectF line = MeasureFree(m_strCameraHolder, small);
    const double lineW = std::min(line.width() + 24, w), lineH = line.height() + 12;
    const double lineX = (w - lineW) / 2, lineY = y + boxH + 8;
    FillRectangle(g, Argb(0xC8000000), QRectF(lineX, lineY, lineW, lineH));
    DrawString(g, m_strCameraHolder, small, QRectF(lineX, lineY + 6, lineW, lineH), StringAlignment::Center,
               Argb(0xC8FFFFFF));
}

void CKinovoDlg::DrawShutterView(Graphics* g, int W, int H)
{
    std::uint32_t veil = 0xFF000000;
    if (m_pFrozenFrame && !m_pFrozenFrame->isNull()) {
        g->drawImage(15, 15, *m_pFrozenFrame);
        veil = 0x50000000;
    }
    FillRectangle(g, Argb(veil), QRectF(15, 15, W - 30, H - 30));
    const int side = std::min(W - 60, H - 60);
    if (m_pShutterImage && !m_pShutterImage->isNull() && side > 0) {
        g->save();
        g->setRenderHint(QPainter::SmoothPixmapTransform, true);
        g->drawImage(QRect((W - side) / 2, (H - side) / 2, side, side), *m_pShutterImage);
        g->restore();
    }
}

void CKinovoDlg::DrawBottomBar(Graphics* g, int W, int H)
{
    FillRectangle(g, Argb(0x50FFFFFF), QRectF(14, H - 64, W - 29, 49));
    const QPen line = MakePen(0xB4FFFFFF, 1);
    DrawLine(g, line, QPointF(15, H - 65), QPointF(W - 16, H - 65));
    DrawLine(g, line, QPointF(15, H - 16), QPointF(W - 16, H - 16));
    const QRectF plate(W - 160, H - 60, 120, 40);
    FillPath(g, VerticalGradient(plate, 0xFFC8C8C8, 0xFFFFFFFF), MakeRoundRectPath(plate, 10));
}

void CKinovoDlg::DrawButton(Graphics* g, ButtonId id)
{
    const SkinButton& b = m_buttons[id];
    if (b.state < 0 || b.state > 7) return;
    const Image& sprite = b.sprites[static_cast<std::size_t>(b.state)];
    if (sprite && !sprite->isNull()) g->drawImage(b.rc.left, b.rc.top, *sprite);
}

void CKinovoDlg::DrawClock(Graphics* g, int W, int H)
{
    const auto elapsed = static_cast<std::uint32_t>(MonotonicSeconds() - m_tRecordStart);
    const QString text = ClockText(elapsed);
    const QFont font = MakeFont(QStringLiteral("Verdana"), 14);
    const QRectF size = MeasureFree(text, font);
    const double x = W - 280, y = (H - 64) + (50 - size.height()) / 2;
    DrawString(g, text, font, QRectF(x, y, size.width(), size.height()), StringAlignment::Far, Argb(0xC8FFFFFF));
    const int xi = static_cast<int>(x), yi = static_cast<int>(y);
    m_rcClock = {xi, yi, xi + 160, yi + 50};
}
