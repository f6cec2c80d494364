// The mark (lens plus recording light), the logo button sheet and the
// application icon built on it.
#include "artwork.h"
#include "logo.h"
#include "paintkit.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <numbers>

namespace artgen {

namespace {

struct MarkColours {
    QColor ringTop, ringBottom;
    QColor glassCentre, glassEdge;
    QColor pupil;
    QColor bladeLine;
    QColor lightCentre, lightEdge; // the recording light
    double glint;                  // opacity of the reflections
};

MarkColours coloursFor(LogoLook look)
{
    switch (look) {
    case LogoLook::Grey:
        return {{0xCF, 0xD3, 0xD9}, {0x7F, 0x86, 0x8F}, {0x56, 0x5D, 0x66}, {0x22, 0x26, 0x2B},
                {0x12, 0x14, 0x17}, {255, 255, 255, 55}, {0xB4, 0xB8, 0xBE}, {0x6F, 0x75, 0x7D},
                0.65};
    case LogoLook::Colour:
        return {{0x72, 0xB4, 0xEA}, {0x23, 0x60, 0x9A}, {0x2A, 0x55, 0x80}, {0x0B, 0x1A, 0x2B},
                {0x04, 0x0B, 0x14}, {0x9F, 0xCB, 0xF2, 80}, {0xFF, 0x6A, 0x5C}, {0xC2, 0x1E, 0x16},
                0.85};
    case LogoLook::Bright:
        return {{0xA6, 0xD6, 0xFC}, {0x3B, 0x83, 0xBD}, {0x3A, 0x72, 0xA8}, {0x12, 0x2C, 0x47},
                {0x06, 0x12, 0x20}, {0xC4, 0xE2, 0xFB, 105}, {0xFF, 0x8F, 0x82}, {0xE8, 0x36, 0x2B},
                1.0};
    case LogoLook::Silver:
        return {{0xFF, 0xFF, 0xFF}, {0xB3, 0xC0, 0xCE}, {0x2A, 0x53, 0x7C}, {0x09, 0x16, 0x25},
                {0x03, 0x09, 0x11}, {0x9F, 0xCB, 0xF2, 80}, {0xFF, 0x6A, 0x5C}, {0xC2, 0x1E, 0x16},
                0.9};
    }
    return coloursFor(LogoLook::Colour);
}

// Proportions of the mark, as fractions of the lens diameter.
constexpr double kRingThickness = 0.17;
constexpr double kApertureRadius = 0.42; // of the glass radius
constexpr int kBladeCount = 6;
const QPointF kLightOffset{0.50, -0.40};
constexpr double kLightDiameter = 0.33;
constexpr double kLightGap = 0.06;

// --- 139: logo button sheet ---------------------------------------------------
constexpr QSize kLogoCell{42, 36};
const QPointF kLogoLensCentre{18, 20};
constexpr double kLogoLensDiameter = 28;

// --- 128: application icon ---------------------------------------------------
constexpr int kIconSize = 256;
const QRectF kIconTile{20, 16, 216, 216};
constexpr double kIconTileRadius = 50;
const QColor kIconTileTop{0x5A, 0xA5, 0xE0};
const QColor kIconTileBottom{0x1C, 0x55, 0x8E};
const QPointF kIconLensCentre{116, 132};
constexpr double kIconLensDiameter = 142;

QPointF polar(QPointF centre, double radius, double angle)
{
    return centre + QPointF(radius * std::cos(angle), radius * std::sin(angle));
}

void paintGlint(QPainter &p, QPointF centre, double glassRadius, double opacity)
{
    p.save();
    p.translate(centre + QPointF(-0.38, -0.42) * glassRadius);
    p.rotate(-40);
    QRadialGradient shine(QPointF(0, 0), glassRadius * 0.42);
    shine.setColorAt(0, QColor(255, 255, 255, static_cast<int>(235 * opacity)));
    shine.setColorAt(0.55, QColor(255, 255, 255, static_cast<int>(90 * opacity)));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shine);
    p.scale(1.0, 0.55);
    p.drawEllipse(QPointF(0, 0), glassRadius * 0.42, glassRadius * 0.42);
    p.restore();
    p.setBrush(QColor(255, 255, 255, static_cast<int>(150 * opacity)));
    p.drawEllipse(centre + QPointF(0.42, 0.40) * glassRadius, glassRadius * 0.08,
                  glassRadius * 0.08);
}

} // namespace

void paintLogoMark(QPainter &p, QPointF c, double diameter, LogoLook look)
{
    const MarkColours col = coloursFor(look);
    const double outer = diameter / 2;
    const double glass = outer - kRingThickness * diameter;

    p.save();
    p.setPen(Qt::NoPen);

    // Lens barrel: a lit ring, brighter edge on top, darker lip inside.
    QLinearGradient ring(c.x(), c.y() - outer, c.x(), c.y() + outer);
    ring.setColorAt(0, col.ringTop);
    ring.setColorAt(1, col.ringBottom);
    p.setBrush(ring);
    p.drawEllipse(c, outer, outer);
    QLinearGradient lip(c.x(), c.y() - glass, c.x(), c.y() + glass);
    lip.setColorAt(0, col.ringBottom.darker(150));
    lip.setColorAt(1, col.ringTop);
    p.setBrush(lip);
    p.drawEllipse(c, glass + diameter * 0.025, glass + diameter * 0.025);

    // Glass.
    QRadialGradient glassFill(c, glass, c + QPointF(-0.3, -0.35) * glass);
    glassFill.setColorAt(0, col.glassCentre);
    glassFill.setColorAt(1, col.glassEdge);
    p.setBrush(glassFill);
    p.drawEllipse(c, glass, glass);

    // Iris inside the glass, echoing the shutter picture.
    const double aperture = glass * kApertureRadius;
    const double turn = 2 * std::numbers::pi / kBladeCount;
    const double start = -std::numbers::pi / 2 + 0.2;
    QPolygonF pupil;
    for (int i = 0; i < kBladeCount; ++i)
        pupil << polar(c, aperture, start + i * turn);
    p.setBrush(col.pupil);
    p.drawPolygon(pupil);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(col.bladeLine, std::max(0.7, diameter * 0.018), Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < kBladeCount; ++i) {
        const QPointF a = pupil[i];
        const QPointF b = pupil[(i + 1) % kBladeCount];
        const QPointF dir = (b - a) / std::hypot(b.x() - a.x(), b.y() - a.y());
        // Extend the aperture's side until it meets the glass edge.
        const QPointF rel = b - c;
        const double bd = rel.x() * dir.x() + rel.y() * dir.y();
        const double t = -bd + std::sqrt(bd * bd - (rel.x() * rel.x() + rel.y() * rel.y()) +
                                         glass * glass * 0.96);
        p.drawLine(b, b + dir * t);
    }
    p.setPen(Qt::NoPen);
    paintGlint(p, c, glass, col.glint);

    // Recording light, set off from the barrel by a gap.
    const QPointF lc = c + kLightOffset * diameter;
    const double lr = kLightDiameter * diameter / 2;
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setBrush(Qt::black);
    p.drawEllipse(lc, lr + kLightGap * diameter, lr + kLightGap * diameter);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    QRadialGradient light(lc, lr, lc + QPointF(-0.35, -0.4) * lr);
    light.setColorAt(0, col.lightCentre);
    light.setColorAt(1, col.lightEdge);
    p.setBrush(light);
    p.drawEllipse(lc, lr, lr);
    p.setBrush(QColor(255, 255, 255, static_cast<int>(200 * col.glint)));
    p.drawEllipse(lc + QPointF(-0.3, -0.38) * lr, lr * 0.32, lr * 0.22);
    p.restore();
}

QImage drawLogoSheet()
{
    constexpr LogoLook kLooks[] = {LogoLook::Grey, LogoLook::Colour, LogoLook::Bright};
    QImage sheet = newCanvas(kLogoCell.width(), kLogoCell.height() * 3);
    QPainter out(&sheet);
    for (int row = 0; row < 3; ++row) {
        QImage mark = newLayer(kLogoCell);
        {
            QPainter p(&mark);
            prepare(p);
            paintLogoMark(p, kLogoLensCentre, kLogoLensDiameter, kLooks[row]);
        }
        QImage cell = newLayer(kLogoCell);
        {
            QPainter p(&cell);
            prepare(p);
            // Readable over any picture: a soft shadow, a white rim, and a
            // blue glow for the pressed look.
            drawGlow(p, mark, {QColor(0, 0, 0, 110), 0.5, 2, {0, 1}});
            if (kLooks[row] == LogoLook::Bright)
                drawGlow(p, mark, {QColor(0x8F, 0xC8, 0xFF, 200), 1.5, 2, {}});
            drawGlow(p, mark, {QColor(255, 255, 255, 190), 1.0, 1, {}});
            p.drawImage(0, 0, mark);
        }
        out.drawImage(0, row * kLogoCell.height(), cell);
    }
    return sheet;
}

QImage drawAppIcon()
{
    const QSize size(kIconSize, kIconSize);
    QImage tile = newLayer(size);
    {
        QPainter p(&tile);
        prepare(p);
        QLinearGradient fill(kIconTile.topLeft(), kIconTile.bottomLeft());
        fill.setColorAt(0, kIconTileTop);
        fill.setColorAt(1, kIconTileBottom);
        p.setPen(QPen(kIconTileBottom.darker(130), 2));
        p.setBrush(fill);
        p.drawRoundedRect(kIconTile, kIconTileRadius, kIconTileRadius);
        // Glossy upper half.
        QPainterPath gloss;
        gloss.addRoundedRect(kIconTile.adjusted(4, 4, -4, -kIconTile.height() * 0.48),
                             kIconTileRadius - 4, kIconTileRadius - 4);
        QLinearGradient sheen(kIconTile.topLeft(), QPointF(kIconTile.left(), kIconTile.center().y()));
        sheen.setColorAt(0, QColor(255, 255, 255, 90));
        sheen.setColorAt(1, QColor(255, 255, 255, 8));
        p.setPen(Qt::NoPen);
        p.fillPath(gloss, sheen);
    }
    QImage mark = newLayer(size);
    {
        QPainter p(&mark);
        prepare(p);
        paintLogoMark(p, kIconLensCentre, kIconLensDiameter, LogoLook::Silver);
    }
    QImage icon = newCanvas(kIconSize, kIconSize);
    QPainter p(&icon);
    prepare(p);
    drawGlow(p, tile, {QColor(0, 0, 0, 120), 0, 6, {0, 4}});
    p.drawImage(0, 0, tile);
    drawGlow(p, mark, {QColor(0, 0, 0, 90), 1, 5, {0, 4}});
    p.drawImage(0, 0, mark);
    return icon;
}

} // namespace artgen
