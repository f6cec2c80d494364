// The drawing layer shared by every window's DrawContent: rounded boxes,
// halo text, and the few conventions all draw routines follow.
//
// Conventions:
// - Colours are 0xAARRGGBB values (Argb).
// - Fonts are sized in points at 96 dots per inch, whatever the screen says;
//   a family that is not installed resolves through fontconfig ("Arial" to
//   Liberation Sans), else to the generic sans-serif family.
// - Text is one line, cut with an ellipsis when it does not fit, aligned
//   near (left), centre or far (right), top-aligned in its rectangle and
//   clipped to it.
// - Vector geometry (paths, rectangles, lines, ellipses, gradients) uses
//   pixel-centre coordinates: an integer coordinate names the centre of a
//   pixel, so a 1-px line at y = 35 covers row 35 rather than half of rows
//   34 and 35. Images and text keep plain pixel coordinates.
#pragma once

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <QRectF>
#include <QString>

#include <cstdint>

using Graphics = QPainter;

// 0xAARRGGBB as a colour.
inline QColor Argb(std::uint32_t argb) { return QColor::fromRgba(argb); }

enum class SmoothingMode { AntiAlias, HighQuality };
// Set once at the start of a draw routine.
void SetSmoothingMode(Graphics* g, SmoothingMode mode);

enum FontStyle : unsigned { FontRegular = 0, FontBold = 1, FontItalic = 2, FontUnderline = 4 };
QFont MakeFont(const QString& family, double points, unsigned style = FontRegular);

enum class StringAlignment { Near, Center, Far };

// One line of text in `rc`, cut with an ellipsis if it does not fit.
void DrawString(Graphics* g, const QString& text, const QFont& font, const QRectF& rc, StringAlignment align,
                const QColor& colour);
// The box the text occupies when laid out from the top-left of `rc`
// (wrapping allowed, as without a string format).
QRectF MeasureString(const QString& text, const QFont& font, const QRectF& rc);

// A brush going from `top` at the top edge of `rc` to `bottom` at its bottom
// edge, repeating beyond.
QBrush VerticalGradient(const QRectF& rc, std::uint32_t top, std::uint32_t bottom);
QPen MakePen(std::uint32_t argb, double width = 1.0);

// Vector drawing in pixel-centre coordinates.
void FillPath(Graphics* g, const QBrush& brush, const QPainterPath& path);
void DrawPath(Graphics* g, const QPen& pen, const QPainterPath& path);
void FillRectangle(Graphics* g, const QBrush& brush, const QRectF& rc);
void DrawLine(Graphics* g, const QPen& pen, QPointF a, QPointF b);
void FillEllipse(Graphics* g, const QBrush& brush, const QRectF& box);
void DrawEllipse(Graphics* g, const QPen& pen, const QRectF& box);

// A rectangle with quarter-circle corners of radius r: the top edge from
// x + r, then the corners clockwise from the top-right one, closed.
QPainterPath MakeRoundRectPath(const QRectF& rc, double r);

// Blue text (0xFF3B83BD) with a faint white halo (0x50FFFFFF, four copies
// one pixel off), one line, near-aligned, ellipsis.
void DrawHaloText(Graphics* g, const QFont& font, const QString& text, const QRectF& rc);

// Fills and outlines the radius-4 rounded box of `rc`.
void FillStrokeRoundRect(Graphics* g, const QBrush& brush, const QPen& pen, const QRectF& rc);
