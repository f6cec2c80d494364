// 136: the iris shown over the frozen picture while a photo is taken. The
// blades close to an open aperture (transparent, so the picture shows
// through); everything outside the lens barrel is transparent.
#include "artwork.h"
#include "paintkit.h"

#include <QConicalGradient>
#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <numbers>
#include <vector>

namespace artgen {

namespace {

constexpr int kIrisSize = 1000;
const QPointF kCentre{500, 500};
constexpr double kBarrelOuter = 494;
constexpr double kBarrelInner = 446;
constexpr double kBladeReach = 470; // blades end under the barrel
constexpr double kAperture = 168;
constexpr int kBladeCount = 8;
constexpr double kApertureTurn = 11;  // degrees: rotates the aperture polygon
constexpr double kSeamBulge = 0.11;   // curvature of the blade edges
constexpr double kLightAngle = 125;   // degrees, screen: light from the upper left

const QColor kBladeInner{0x24, 0x28, 0x2E};
const QColor kBladeMiddle{0x50, 0x57, 0x61};
const QColor kBladeOuter{0x36, 0x3B, 0x43};
const QColor kSeamShadow{0, 0, 0, 22};
const QColor kSeamLine{0x0C, 0x0E, 0x11, 200};
const QColor kSeamHighlight{0xE8, 0xEE, 0xF5, 70};
const QColor kApertureEdge{0xC9, 0xD1, 0xDB, 150};
const QColor kBarrelShadow{0, 0, 0, 170};
const QColor kBarrelLip{0x17, 0x1A, 0x1E};
const QColor kTick{255, 255, 255, 95};
const QColor kIndexDot{0xE2, 0x34, 0x2A};

QPointF polar(QPointF c, double r, double radians)
{
    return c + QPointF(r * std::cos(radians), r * std::sin(radians));
}

double length(QPointF v)
{
    return std::hypot(v.x(), v.y());
}

// Qt's arc angles: degrees, counter-clockwise on screen.
double qtAngle(QPointF p)
{
    return -std::atan2(p.y() - kCentre.y(), p.x() - kCentre.x()) * 180 / std::numbers::pi;
}

struct Seam {
    QPointF from, control, to; // from the aperture corner out to the reach circle
};

struct Iris {
    std::vector<QPointF> corners; // aperture polygon
    std::vector<Seam> seams;      // seam i continues aperture side i
    std::vector<QPainterPath> blades;
};

Iris buildIris()
{
    Iris iris;
    const double turn = 2 * std::numbers::pi / kBladeCount;
    const double start = kApertureTurn * std::numbers::pi / 180;
    for (int i = 0; i < kBladeCount; ++i)
        iris.corners.push_back(polar(kCentre, kAperture, start + i * turn));

    for (int i = 0; i < kBladeCount; ++i) {
        const QPointF a = iris.corners[i];
        const QPointF b = iris.corners[(i + 1) % kBladeCount];
        const QPointF dir = (b - a) / length(b - a);
        // Continue side i beyond its corner b until it meets the reach circle.
        const QPointF rel = b - kCentre;
        const double bd = rel.x() * dir.x() + rel.y() * dir.y();
        const double t = -bd + std::sqrt(bd * bd - (rel.x() * rel.x() + rel.y() * rel.y()) +
                                         kBladeReach * kBladeReach);
        const QPointF end = b + dir * t;
        const QPointF normal(-dir.y(), dir.x());
        const QPointF control = (b + end) / 2 + normal * (kSeamBulge * t);
        iris.seams.push_back({b, control, end});
    }

    // Blade i lies between seam i - 1 (starting at corner i) and seam i.
    const QRectF reach(kCentre.x() - kBladeReach, kCentre.y() - kBladeReach, 2 * kBladeReach,
                       2 * kBladeReach);
    for (int i = 0; i < kBladeCount; ++i) {
        const Seam &own = iris.seams[i];
        const Seam &previous = iris.seams[(i + kBladeCount - 1) % kBladeCount];
        QPainterPath blade;
        blade.moveTo(iris.corners[i]);
        blade.lineTo(own.from);
        blade.quadTo(own.control, own.to);
        double sweep = qtAngle(previous.to) - qtAngle(own.to);
        while (sweep > 180)
            sweep -= 360;
        while (sweep <= -180)
            sweep += 360;
        blade.arcTo(reach, qtAngle(own.to), sweep);
        blade.quadTo(previous.control, previous.from);
        blade.closeSubpath();
        iris.blades.push_back(blade);
    }
    return iris;
}

QPainterPath seamPath(const Seam &s)
{
    QPainterPath path(s.from);
    path.quadTo(s.control, s.to);
    return path;
}

void paintBlades(QPainter &p, const Iris &iris)
{
    for (int i = 0; i < kBladeCount; ++i) {
        const QPainterPath &blade = iris.blades[i];
        const QPointF a = iris.corners[i];
        const QPointF b = iris.corners[(i + 1) % kBladeCount];
        const QPointF mid = (a + b) / 2;
        const QPointF out = kCentre + (mid - kCentre) / length(mid - kCentre) * kBladeReach;
        // Blades facing the light are a little brighter.
        const double facing = std::cos((qtAngle(mid) - kLightAngle) * std::numbers::pi / 180);
        const int shade = 100 + static_cast<int>(std::lround(18 * facing));
        QLinearGradient metal(mid, out);
        metal.setColorAt(0, kBladeInner.lighter(shade));
        metal.setColorAt(0.45, kBladeMiddle.lighter(shade));
        metal.setColorAt(1, kBladeOuter.lighter(shade));
        p.setPen(Qt::NoPen);
        p.setBrush(metal);
        p.drawPath(blade);

        p.save();
        p.setClipPath(blade);
        // The next blade lies over this one along seam i: its shadow falls here.
        const QPainterPath seam = seamPath(iris.seams[i]);
        p.setBrush(Qt::NoBrush);
        for (double width : {64.0, 44.0, 28.0, 16.0, 8.0}) {
            p.setPen(QPen(kSeamShadow, width, Qt::SolidLine, Qt::RoundCap));
            p.drawPath(seam);
        }
        // Lit bevel along this blade's own leading edge (seam i - 1).
        const QPainterPath lead = seamPath(iris.seams[(i + kBladeCount - 1) % kBladeCount]);
        p.setPen(QPen(kSeamHighlight, 5, Qt::SolidLine, Qt::RoundCap));
        p.drawPath(lead);
        // Polished edge at the aperture.
        p.setPen(QPen(kApertureEdge, 4, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(a, b);
        p.restore();
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kSeamLine, 2, Qt::SolidLine, Qt::RoundCap));
    for (const Seam &s : iris.seams)
        p.drawPath(seamPath(s));
}

void paintBarrel(QPainter &p)
{
    const auto circle = [](double r) {
        QPainterPath path;
        path.addEllipse(kCentre, r, r);
        return path;
    };
    // Shadow the barrel casts onto the blades.
    QRadialGradient cast(kCentre, kBarrelInner);
    cast.setColorAt(0, QColor(0, 0, 0, 0));
    cast.setColorAt(0.88, QColor(0, 0, 0, 0));
    cast.setColorAt(1, kBarrelShadow);
    p.setPen(Qt::NoPen);
    p.setBrush(cast);
    p.drawPath(circle(kBarrelInner));

    // Brushed metal ring.
    const QPainterPath ring = circle(kBarrelOuter).subtracted(circle(kBarrelInner));
    QConicalGradient brushed(kCentre, kLightAngle);
    const QColor stops[] = {{0xCC, 0xD2, 0xD9}, {0x6A, 0x71, 0x7B}, {0xA4, 0xAB, 0xB4},
                            {0x4A, 0x50, 0x58}, {0xB8, 0xBE, 0xC6}, {0x5C, 0x63, 0x6C},
                            {0x9A, 0xA1, 0xAA}, {0x52, 0x58, 0x60}};
    constexpr int kStops = sizeof(stops) / sizeof(stops[0]);
    for (int i = 0; i < kStops; ++i)
        brushed.setColorAt(static_cast<double>(i) / kStops, stops[i]);
    brushed.setColorAt(1, stops[0]);
    p.setBrush(brushed);
    p.drawPath(ring);

    // Dark lip where the ring meets the blades, and a lit outer bevel.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kBarrelLip, 7));
    p.drawEllipse(kCentre, kBarrelInner + 3, kBarrelInner + 3);
    QLinearGradient bevel(kCentre.x(), kCentre.y() - kBarrelOuter, kCentre.x(),
                          kCentre.y() + kBarrelOuter);
    bevel.setColorAt(0, QColor(255, 255, 255, 150));
    bevel.setColorAt(0.5, QColor(255, 255, 255, 20));
    bevel.setColorAt(1, QColor(0, 0, 0, 90));
    p.setPen(QPen(QBrush(bevel), 3));
    p.drawEllipse(kCentre, kBarrelOuter - 2.5, kBarrelOuter - 2.5);
    p.setPen(QPen(QColor(0x20, 0x24, 0x29, 230), 1.5));
    p.drawEllipse(kCentre, kBarrelOuter - 0.75, kBarrelOuter - 0.75);

    // Graduations, a longer one every fifth step.
    constexpr int kTicks = 60;
    for (int i = 0; i < kTicks; ++i) {
        const double a = 2 * std::numbers::pi * i / kTicks;
        const double inner = kBarrelInner + (i % 5 == 0 ? 14 : 20);
        p.setPen(QPen(kTick, i % 5 == 0 ? 3 : 2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(polar(kCentre, inner, a), polar(kCentre, kBarrelInner + 28, a));
    }
    // Red index mark at the top.
    const QPointF index = kCentre + QPointF(0, -(kBarrelInner + kBarrelOuter) / 2 - 6);
    QRadialGradient dot(index, 8, index + QPointF(-2, -3));
    dot.setColorAt(0, kIndexDot.lighter(150));
    dot.setColorAt(1, kIndexDot.darker(120));
    p.setPen(QPen(QColor(0, 0, 0, 120), 1));
    p.setBrush(dot);
    p.drawEllipse(index, 7, 7);
}

} // namespace

QImage drawShutterIris()
{
    QImage canvas = newCanvas(kIrisSize, kIrisSize);
    QPainter p(&canvas);
    prepare(p);
    const Iris iris = buildIris();
    paintBlades(p, iris);
    paintBarrel(p);
    return canvas;
}

} // namespace artgen
