// 143: icons of the image-settings rows. Row 0 is the resting look, light
// outlined pictures with a white rim; row 1 the same pictures filled in a
// deeper blue, shown while the pointer is on the row.
#include "artwork.h"
#include "paintkit.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QPainterPathStroker>

#include <array>
#include <cmath>
#include <numbers>

namespace artgen {

namespace {

constexpr int kCell = 32;
constexpr int kIcons = 7;

struct IconStyle {
    QBrush body;     // main fill
    QBrush strong;   // the darker part of two-tone pictures
    QColor line;     // outlines and rays
    double lineWidth;
    QColor detail;   // veins, inner strokes
    QColor wash;     // translucent fill of overlapping circles
};

QBrush vertical(const QColor &top, const QColor &bottom)
{
    QLinearGradient g(0, 5, 0, 27);
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    return g;
}

IconStyle outlinedStyle()
{
    return {QColor(0xEC, 0xF5, 0xFD), QColor(0x9D, 0xCA, 0xF0), QColor(0x4F, 0x98, 0xD6), 1.5,
            QColor(0x4F, 0x98, 0xD6), QColor(0xC4, 0xE0, 0xF7, 150)};
}

IconStyle filledStyle()
{
    return {vertical({0x52, 0x9B, 0xD6}, {0x22, 0x60, 0x9C}),
            vertical({0x2E, 0x74, 0xB2}, {0x17, 0x47, 0x78}), QColor(0x1B, 0x50, 0x84), 1.0,
            QColor(255, 255, 255, 235), QColor(0x2F, 0x78, 0xBA, 150)};
}

QPointF polar(QPointF c, double r, double degrees)
{
    const double a = degrees * std::numbers::pi / 180;
    return c + QPointF(r * std::cos(a), -r * std::sin(a));
}

void fillAndOutline(QPainter &p, const QPainterPath &shape, const QBrush &fill,
                    const IconStyle &s)
{
    p.setPen(QPen(s.line, s.lineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(fill);
    p.drawPath(shape);
}

void paintRays(QPainter &p, QPointF c, double inner, double outer, double width, int count,
               const QColor &colour)
{
    p.setPen(QPen(colour, width, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < count; ++i) {
        const double a = i * 360.0 / count;
        p.drawLine(polar(c, inner, a), polar(c, outer, a));
    }
}

// --- pictures, in 32 x 32 cell coordinates ---------------------------------------

void paintSun(QPainter &p, const IconStyle &s)
{
    const QPointF c(16, 16);
    paintRays(p, c, 8.2, 11.6, 2.2, 8, s.line);
    QPainterPath disc;
    disc.addEllipse(c, 5.3, 5.3);
    fillAndOutline(p, disc, s.body, s);
}

void paintContrast(QPainter &p, const IconStyle &s)
{
    const QPointF c(16, 16);
    constexpr double r = 10.5;
    QPainterPath whole;
    whole.addEllipse(c, r, r);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 245));
    p.drawPath(whole);
    QPainterPath half;
    half.moveTo(c.x(), c.y() - r);
    half.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), 90, -180);
    half.closeSubpath();
    p.setBrush(s.strong);
    p.drawPath(half);
    p.setPen(QPen(s.line, s.lineWidth));
    p.setBrush(Qt::NoBrush);
    p.drawPath(whole);
}

void paintSaturation(QPainter &p, const IconStyle &s)
{
    constexpr double r = 6.5;
    constexpr std::array<QPointF, 3> kCentres{QPointF(16, 10.8), QPointF(11.2, 19.2),
                                              QPointF(20.8, 19.2)};
    p.setPen(Qt::NoPen);
    for (const QPointF &c : kCentres) {
        p.setBrush(s.wash);
        p.drawEllipse(c, r, r);
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(s.line, s.lineWidth));
    for (const QPointF &c : kCentres)
        p.drawEllipse(c, r, r);
}

void paintSharpness(QPainter &p, const IconStyle &s)
{
    QPainterPath triangle;
    triangle.moveTo(16, 5);
    triangle.lineTo(26.8, 25.5);
    triangle.lineTo(5.2, 25.5);
    triangle.closeSubpath();
    p.setPen(QPen(s.line, s.lineWidth, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(s.body);
    p.drawPath(triangle);
    // A smaller triangle inside, like a lens pulling into focus.
    QPainterPath inner;
    inner.moveTo(16, 12.5);
    inner.lineTo(21.2, 22.5);
    inner.lineTo(10.8, 22.5);
    inner.closeSubpath();
    p.setPen(QPen(s.detail, 1.2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(inner);
}

void paintLeaf(QPainter &p, const IconStyle &s)
{
    const QPointF base(10, 22.5), tip(25.5, 6.5);
    QPainterPath leaf;
    leaf.moveTo(base);
    leaf.cubicTo(QPointF(7.2, 13), QPointF(15, 6.2), tip);
    leaf.cubicTo(QPointF(26, 16), QPointF(19.5, 24.5), base);
    leaf.closeSubpath();
    p.setPen(QPen(s.line, 1.9, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(base, QPointF(6.5, 26.5)); // stalk
    fillAndOutline(p, leaf, s.body, s);
    p.setPen(QPen(s.detail, 1.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    QPainterPath vein;
    vein.moveTo(base);
    vein.quadTo(QPointF(17, 16.5), QPointF(22.5, 9.5));
    p.drawPath(vein);
    p.drawLine(QPointF(14.6, 17.6), QPointF(13.6, 13.2));
    p.drawLine(QPointF(17.8, 14.6), QPointF(20.8, 15.6));
}

void paintSunAndCloud(QPainter &p, const IconStyle &s)
{
    const QPointF sun(20.5, 11);
    paintRays(p, sun, 6.4, 9.0, 1.7, 8, s.line);
    QPainterPath disc;
    disc.addEllipse(sun, 4.2, 4.2);
    fillAndOutline(p, disc, s.body, s);

    QPainterPath cloud;
    cloud.addEllipse(QPointF(11.3, 20.2), 4.6, 4.6);
    cloud.addEllipse(QPointF(16.6, 17.4), 5.5, 5.5);
    cloud.addEllipse(QPointF(22.0, 21.0), 3.9, 3.9);
    cloud.addRoundedRect(QRectF(6.7, 20.3, 19.2, 4.6), 2.3, 2.3);
    cloud.setFillRule(Qt::WindingFill);
    cloud = cloud.simplified();
    // Clear a lane around the cloud so the sun sits visibly behind it.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(QPen(Qt::black, 3.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::black);
    p.drawPath(cloud);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    fillAndOutline(p, cloud, s.body, s);
}

void paintReturnArrow(QPainter &p, const IconStyle &s)
{
    // Counter-clockwise from the left, round the bottom and up the right
    // side; the head sits at the top and points back to the left.
    const QPointF c(16, 17);
    constexpr double r = 8.0;
    constexpr double kStart = 200, kHeadAngle = 90, kTuck = 4; // degrees
    constexpr double kHeadLength = 5.6, kHeadHalfWidth = 4.8, kShaft = 3.0;
    const QRectF circle(c.x() - r, c.y() - r, 2 * r, 2 * r);
    QPainterPath arc;
    arc.arcMoveTo(circle, kStart);
    // The shaft ends under the head so the two merge without a seam.
    arc.arcTo(circle, kStart, kHeadAngle + 360 - kStart - kTuck);
    QPainterPathStroker stroker;
    stroker.setWidth(kShaft);
    stroker.setCapStyle(Qt::FlatCap);
    QPainterPath shape = stroker.createStroke(arc);

    const QPointF top = polar(c, r, kHeadAngle);
    const QPointF forward(-1, 0), outward(0, -1);
    QPolygonF head;
    head << top + forward * (kHeadLength * 0.6) << top - forward * (kHeadLength * 0.4) + outward * kHeadHalfWidth
         << top - forward * (kHeadLength * 0.4) - outward * kHeadHalfWidth;
    QPainterPath headPath;
    headPath.addPolygon(head);
    headPath.closeSubpath();
    shape = shape.united(headPath).simplified();
    fillAndOutline(p, shape, s.body, s);
}

using IconPainter = void (*)(QPainter &, const IconStyle &);
// Column order is the settings' order: brightness, contrast, saturation,
// sharpness, gamma, white balance, then the reset button.
constexpr std::array<IconPainter, kIcons> kIconPainters{
    paintSun, paintContrast, paintSaturation, paintSharpness,
    paintLeaf, paintSunAndCloud, paintReturnArrow};

const QColor kRim{255, 255, 255, 245};
const QColor kShade{0x0A, 0x1E, 0x33, 60};

QImage drawIcon(IconPainter paint, const IconStyle &style)
{
    QImage picture = newLayer({kCell, kCell});
    {
        QPainter p(&picture);
        prepare(p);
        paint(p, style);
    }
    QImage cell = newLayer({kCell, kCell});
    QPainter p(&cell);
    drawGlow(p, picture, {kShade, 0.5, 1, {0, 1}});
    drawGlow(p, picture, {kRim, 1.3, 1, {}});
    p.drawImage(0, 0, picture);
    return cell;
}

} // namespace

QImage drawSettingsIcons()
{
    const std::array<IconStyle, 2> styles{outlinedStyle(), filledStyle()};
    QImage sheet = newCanvas(kCell * kIcons, kCell * 2);
    QPainter p(&sheet);
    for (int row = 0; row < 2; ++row)
        for (int i = 0; i < kIcons; ++i)
            p.drawImage(i * kCell, row * kCell, drawIcon(kIconPainters[i], styles[row]));
    return sheet;
}

} // namespace artgen
