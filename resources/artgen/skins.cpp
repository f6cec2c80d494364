// Window skins: the main window frame and the two speech-bubble panels are
// cut as nine-slices, so their edges are built from an exact distance field
// (every row or column of an edge identical); the about card is drawn whole.
#include "artwork.h"
#include "logo.h"
#include "paintkit.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace artgen {

namespace {

// --- 129: main window ------------------------------------------------------
constexpr QSize kMainSkinSize{800, 600};
constexpr double kMainShadowWidth = 7;  // the panel starts right after it
constexpr double kMainCornerRadius = 8; // corner arcs end exactly at the 15 px margin
constexpr double kMainBorderWidth = 1.2;
constexpr double kMainFrameDepth = 8;   // panel edge to the 15 px margin
constexpr int kMainGreyOuter = 252;     // lit edge just inside the border
constexpr int kMainGreyInner = 237;     // next to the picture, and the centre
constexpr int kMainPanelAlpha = 219;
const QColor kMainBorder{0x2C, 0x31, 0x39, 235};
const QColor kMainShadow{0, 0, 0, 120};
constexpr double kMainShadowTop = 0.55, kMainShadowBottom = 1.0;

// --- 133 / 135: speech-bubble panels ----------------------------------------
constexpr QSize kBubbleSize{300, 300};
constexpr double kBubbleCornerRadius = 8;
constexpr double kBubbleShadowWidth = 5;
constexpr double kBubbleOutlineWidth = 1.0;
constexpr int kBubbleGrey = 250;
constexpr int kBubbleAlpha = 230;
const QColor kBubbleOutline{0xB0, 0xB8, 0xC5, 215};
const QColor kBubbleInnerLight{255, 255, 255, 238};
const QColor kBubbleShadow{0x10, 0x18, 0x28, 72};
constexpr double kBubbleShadowTop = 0.45, kBubbleShadowBottom = 1.0;
// The owner opens a panel 16 px left of its 32 px button, so x = 32 is
// the button's centre: that is where the pointer's tip goes.
constexpr double kPointerTipX = 32;
constexpr double kPointerHalfBase = 10.5;
constexpr double kPointerRounding = 1.5; // rounds the tip and base corners
constexpr double kPointerFillet = 2;     // blends the pointer into the body
// Settings panel (margins 50, 20, 15, 15): pointer above the body.
const QRectF kSettingsBody{5, 12, 290, 282};
constexpr double kSettingsTipY = 3;
// List panel (margins 50, 15, 15, 32): pointer below the body.
const QRectF kListBody{5, 3, 290, 281};
constexpr double kListTipY = 297;

// --- 140: about card ----------------------------------------------------------
constexpr QSize kAboutSize{420, 320};
const QRectF kAboutCard{7, 7, 406, 306};
constexpr double kAboutCornerRadius = 12;
constexpr double kAboutShadowWidth = 7;
const QColor kAboutShadow{0x10, 0x18, 0x28, 100};
const QColor kAboutOutline{0xBF, 0xC6, 0xD0, 225};
const QColor kAboutFillTop{255, 255, 255, 248};
const QColor kAboutFillBottom{0xF3, 0xF5, 0xF8, 248};
const QColor kAboutHeaderTint{0xDD, 0xEC, 0xF9, 170};
const QPointF kAboutLogoCentre{60, 60};
constexpr double kAboutLogoDiameter = 70;
const QColor kAboutMarkShadow{0x10, 0x20, 0x35, 80};
const QRectF kAboutNameBox{113, 14, 290, 58}; // baseline clears the tagline at y = 80
const QString kProductName = QStringLiteral("Kinovo");
constexpr int kAboutNamePixels = 46;
const QColor kAboutNameTop{0x2E, 0x5F, 0x8E};
const QColor kAboutNameBottom{0x1D, 0x3C, 0x5C};
constexpr double kAboutRuleY = 242;
constexpr double kAboutRuleLeft = 22, kAboutRuleRight = 398;
const QColor kAboutRuleDark{0xD3, 0xD9, 0xE1};
const QColor kAboutRuleLight{255, 255, 255, 230};

QColor grey(int level, int alpha)
{
    return QColor(level, level, level, alpha);
}

QColor mainFrameAt(double depth)
{
    const double u = std::clamp((depth - kMainBorderWidth) / (kMainFrameDepth - kMainBorderWidth),
                                0.0, 1.0);
    const int level =
        static_cast<int>(std::lround(mix(kMainGreyOuter, kMainGreyInner, std::pow(u, 0.8))));
    const QColor frame = grey(level, kMainPanelAlpha);
    const double t = smoothstep(kMainBorderWidth - 0.45, kMainBorderWidth + 0.45, depth);
    return t >= 1 ? frame : mixColour(kMainBorder, frame, t);
}

QColor bubbleAt(double depth)
{
    const QColor body = grey(kBubbleGrey, kBubbleAlpha);
    if (depth >= kBubbleOutlineWidth + 1.0)
        return body;
    if (depth >= kBubbleOutlineWidth)
        return kBubbleInnerLight;
    return kBubbleOutline;
}

double pointerField(double x, double y, double tipY, double baseY)
{
    const double r = kPointerRounding;
    const double dir = baseY > tipY ? 1.0 : -1.0;
    return sdTriangle({x, y}, {kPointerTipX, tipY + dir * r},
                      {kPointerTipX - kPointerHalfBase + r, baseY},
                      {kPointerTipX + kPointerHalfBase - r, baseY}) -
           r;
}

QImage drawBubble(const QRectF &body, double tipY, double baseY)
{
    QImage canvas = newCanvas(kBubbleSize.width(), kBubbleSize.height());
    const auto field = [&](double x, double y) {
        return smoothUnion(sdRoundRect({x, y}, body, kBubbleCornerRadius),
                           pointerField(x, y, tipY, baseY), kPointerFillet);
    };
    paintPanel(canvas, field,
               {bubbleAt, kBubbleShadow, kBubbleShadowWidth, kBubbleShadowTop,
                kBubbleShadowBottom});
    return canvas;
}

} // namespace

// The main window draws only the border cells; its centre shows the camera
// picture. The centre of the PNG is still filled with the innermost panel
// grey (flat, so it could be stretched) to keep the skin a complete panel
// wherever it is drawn whole.
QImage drawMainSkin()
{
    QImage canvas = newCanvas(kMainSkinSize.width(), kMainSkinSize.height());
    const QRectF panel(kMainShadowWidth, kMainShadowWidth,
                       kMainSkinSize.width() - 2 * kMainShadowWidth,
                       kMainSkinSize.height() - 2 * kMainShadowWidth);
    paintPanel(
        canvas, [&](double x, double y) { return sdRoundRect({x, y}, panel, kMainCornerRadius); },
        {mainFrameAt, kMainShadow, kMainShadowWidth, kMainShadowTop, kMainShadowBottom});
    return canvas;
}

QImage drawSettingsPanelSkin()
{
    // The base sits a little inside the body so the two fields merge.
    return drawBubble(kSettingsBody, kSettingsTipY, kSettingsBody.top() + 2);
}

QImage drawListPanelSkin()
{
    return drawBubble(kListBody, kListTipY, kListBody.bottom() - 2);
}

QImage drawAboutSkin()
{
    QImage canvas = newCanvas(kAboutSize.width(), kAboutSize.height());
    paintPanel(
        canvas,
        [&](double x, double y) { return sdRoundRect({x, y}, kAboutCard, kAboutCornerRadius); },
        {[](double depth) { return depth < 1.0 ? kAboutOutline : kAboutFillTop; }, kAboutShadow,
         kAboutShadowWidth, 0.5, 1.0});

    QPainter p(&canvas);
    prepare(p);
    QPainterPath inner;
    inner.addRoundedRect(kAboutCard.adjusted(1, 1, -1, -1), kAboutCornerRadius - 1,
                         kAboutCornerRadius - 1);
    p.setClipPath(inner);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    QLinearGradient body(kAboutCard.topLeft(), kAboutCard.bottomLeft());
    body.setColorAt(0, kAboutFillTop);
    body.setColorAt(1, kAboutFillBottom);
    p.fillRect(kAboutCard, body);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);

    // A faint blue light behind the mark gives the header some depth.
    QRadialGradient tint(kAboutLogoCentre, 190);
    tint.setColorAt(0, kAboutHeaderTint);
    tint.setColorAt(1, QColor(kAboutHeaderTint.red(), kAboutHeaderTint.green(),
                              kAboutHeaderTint.blue(), 0));
    p.fillRect(kAboutCard, tint);
    p.setClipping(false);

    // The mark is drawn on a layer of its own: it cuts a gap around its
    // recording light, which must not cut through the card.
    QImage mark = newLayer(kAboutSize);
    {
        QPainter m(&mark);
        prepare(m);
        paintLogoMark(m, kAboutLogoCentre, kAboutLogoDiameter, LogoLook::Colour);
    }
    drawGlow(p, mark, {kAboutMarkShadow, 0, 3, {0, 2}});
    p.drawImage(0, 0, mark);

    const QFont nameFont = pixelFont(QStringLiteral("DejaVu Sans"), kAboutNamePixels, QFont::Bold);
    QPainterPath name;
    const QFontMetricsF metrics(nameFont);
    const double baseline = kAboutNameBox.bottom() - metrics.descent();
    name.addText(kAboutNameBox.left(), baseline, nameFont, kProductName);
    // Soft white lift under the lettering, then the lettering itself.
    p.setPen(QPen(QColor(255, 255, 255, 200), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(name.translated(0, 1));
    QLinearGradient ink(0, baseline - metrics.ascent() * 0.75, 0, baseline);
    ink.setColorAt(0, kAboutNameTop);
    ink.setColorAt(1, kAboutNameBottom);
    p.setPen(Qt::NoPen);
    p.setBrush(ink);
    p.drawPath(name);

    // Engraved rule above the "Ok" area: a grey line with a white one below.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(kAboutRuleDark);
    p.drawLine(QPointF(kAboutRuleLeft, kAboutRuleY), QPointF(kAboutRuleRight, kAboutRuleY));
    p.setPen(kAboutRuleLight);
    p.drawLine(QPointF(kAboutRuleLeft, kAboutRuleY + 1),
               QPointF(kAboutRuleRight, kAboutRuleY + 1));
    return canvas;
}

} // namespace artgen
