// Small drawing toolkit shared by the pictures: canvases, soft glows and
// shadows made by blurring an alpha mask, signed-distance panels, fonts.
#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QPointF>
#include <QRectF>

#include <functional>

namespace artgen {

// Outline of the panels' row highlights; the button box uses it too so
// that hovered buttons and hovered rows match.
inline const QColor kHighlightOutline{0x8A, 0x91, 0xA3, 0xA0};

// A fully transparent picture in the format the resources are written in.
QImage newCanvas(int width, int height);
// A fully transparent premultiplied working layer.
QImage newLayer(QSize size);

// A painter with anti-aliasing for shapes, text and scaled images.
void prepare(QPainter &p);

// Opacity of every pixel of `layer` as a single-channel image.
QImage alphaMask(const QImage &layer);
// Grows a mask by `radius` pixels (round structuring element).
QImage dilate(const QImage &mask, double radius);
// Approximates a Gaussian of the given radius by three box blurs.
QImage blur(const QImage &mask, int radius);
// Colours a mask: `colour` with its alpha scaled by the mask.
QImage tint(const QImage &mask, const QColor &colour);

struct Glow {
    QColor colour;
    double spread = 0;  // pixels the shape is grown by before blurring
    int blurRadius = 0; // softness
    QPointF offset;     // shadow direction
};
// Draws a glow or shadow of `layer`'s shape (not the layer itself).
void drawGlow(QPainter &p, const QImage &layer, const Glow &glow);

// Signed distance from p to a rounded rectangle (negative inside).
double sdRoundRect(QPointF p, const QRectF &r, double radius);
// Signed distance from p to the triangle a, b, c (negative inside).
double sdTriangle(QPointF p, QPointF a, QPointF b, QPointF c);
// Union of two distance fields with a fillet of size k.
double smoothUnion(double a, double b, double k);
double smoothstep(double edge0, double edge1, double x);
double mix(double a, double b, double t);
QColor mixColour(const QColor &a, const QColor &b, double t);

// A panel described by a distance field: the fill colour and alpha as a
// function of the depth inside it, and an outside shadow.
struct PanelStyle {
    std::function<QColor(double depth)> fillAt; // depth >= 0 inside
    QColor shadowColour;                        // alpha = strongest shadow
    double shadowWidth = 0;                     // fades to zero at this distance
    double shadowTop = 1, shadowBottom = 1;     // strength by the edge's facing
};
// Writes the panel into `canvas` pixel by pixel. Sampling at pixel centres
// of an exact distance field keeps straight edges identical along their
// length, which nine-slice stretching relies on.
void paintPanel(QImage &canvas, const std::function<double(double, double)> &sdf,
                const PanelStyle &style);

// Font by family and pixel size (pixel sizes keep the artwork independent
// of the screen's DPI).
QFont pixelFont(const QString &family, int pixels, QFont::Weight weight = QFont::Normal);

} // namespace artgen
