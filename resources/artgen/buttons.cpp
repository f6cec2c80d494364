// 131: the picture buttons. Each column is one picture; the rows are its
// looks: plain, inside a light box (pointer over it), faded.
#include "artwork.h"
#include "paintkit.h"

#include <QLinearGradient>
#include <QPainterPath>
#include <QRadialGradient>

#include <array>
#include <functional>

namespace artgen {

namespace {

constexpr int kCell = 32;
constexpr int kColumns = 13;
constexpr int kRows = 3;

// Ink of a glyph: a vertical gradient, with light details and a dark core.
struct Ink {
    QColor top, bottom;
    QColor detail;
    QColor core;
};
const Ink kBlueInk{{0x5C, 0xA4, 0xDF}, {0x25, 0x63, 0x9F}, {255, 255, 255}, {0x12, 0x33, 0x55}};
const Ink kGreyInk{{0xB3, 0xB8, 0xBF}, {0x6E, 0x74, 0x7C}, {255, 255, 255}, {0x3A, 0x3E, 0x44}};
const QColor kStrikeRed{0xE0, 0x2E, 0x24};

QBrush inkBrush(const Ink &ink, double top = 4, double bottom = 28)
{
    QLinearGradient g(0, top, 0, bottom);
    g.setColorAt(0, ink.top);
    g.setColorAt(1, ink.bottom);
    return g;
}

QPen inkPen(const Ink &ink, double width)
{
    return QPen(inkBrush(ink), width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// --- glyphs, in 32 x 32 cell coordinates -----------------------------------

void paintCross(QPainter &p, const Ink &ink)
{
    constexpr double kArm = 6.3, kWidth = 3.4;
    p.setPen(inkPen(ink, kWidth));
    p.drawLine(QPointF(16 - kArm, 16 - kArm), QPointF(16 + kArm, 16 + kArm));
    p.drawLine(QPointF(16 + kArm, 16 - kArm), QPointF(16 - kArm, 16 + kArm));
}

void paintSliders(QPainter &p, const Ink &ink)
{
    constexpr double kLeft = 7, kRight = 25, kTrack = 2.0, kKnob = 3.3;
    constexpr std::array<QPointF, 3> kKnobs{QPointF(20, 9.5), QPointF(11.5, 16),
                                            QPointF(17.5, 22.5)};
    for (const QPointF &k : kKnobs) {
        p.setPen(inkPen(ink, kTrack));
        p.drawLine(QPointF(kLeft, k.y()), QPointF(kRight, k.y()));
    }
    for (const QPointF &k : kKnobs) {
        // A light ring parts each knob from its track.
        p.setPen(QPen(ink.detail, 1.3));
        p.setBrush(inkBrush(ink, k.y() - kKnob, k.y() + kKnob));
        p.drawEllipse(k, kKnob + 0.6, kKnob + 0.6);
    }
}

void paintWebcam(QPainter &p, const Ink &ink)
{
    const QPointF head(16, 13.5);
    p.setPen(Qt::NoPen);
    p.setBrush(inkBrush(ink));
    p.drawEllipse(head, 9.6, 9.6);
    p.drawRect(QRectF(14.6, 22, 2.8, 3.5));
    p.drawRoundedRect(QRectF(9.5, 24.8, 13, 3.4), 1.7, 1.7);
    p.setBrush(ink.detail);
    p.drawEllipse(head, 5.4, 5.4);
    QRadialGradient glass(head, 3.7, head + QPointF(-1, -1));
    glass.setColorAt(0, ink.core.lighter(170));
    glass.setColorAt(1, ink.core);
    p.setBrush(glass);
    p.drawEllipse(head, 3.7, 3.7);
    p.setBrush(QColor(255, 255, 255, 220));
    p.drawEllipse(head + QPointF(-1.3, -1.3), 1.1, 1.1);
}

void paintMicrophone(QPainter &p, const Ink &ink)
{
    p.setPen(Qt::NoPen);
    p.setBrush(inkBrush(ink, 4, 19));
    p.drawRoundedRect(QRectF(12, 4.2, 8, 14.6), 4, 4);
    // Grille slots.
    p.setPen(QPen(QColor(255, 255, 255, 120), 1.0, Qt::SolidLine, Qt::RoundCap));
    for (double y : {8.8, 11.3, 13.8})
        p.drawLine(QPointF(14.2, y), QPointF(17.8, y));
    // Holder, stem and foot.
    QPainterPath holder;
    holder.moveTo(8.6, 12.5);
    holder.arcTo(QRectF(8.6, 5.1, 14.8, 14.8), 180, 180);
    p.setPen(inkPen(ink, 2.2));
    p.setBrush(Qt::NoBrush);
    p.drawPath(holder);
    p.drawLine(QPointF(16, 20.2), QPointF(16, 25.2));
    p.setPen(inkPen(ink, 2.4));
    p.drawLine(QPointF(11.5, 26), QPointF(20.5, 26));
}

void paintStruckMicrophone(QPainter &p, const Ink &ink)
{
    paintMicrophone(p, ink);
    const QPointF from(7.5, 6.5), to(25, 24.5);
    // Cut a clear lane first so that the red stroke reads at any size.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.setPen(QPen(Qt::black, 5.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(from, to);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    QLinearGradient red(from, to);
    red.setColorAt(0, kStrikeRed.lighter(118));
    red.setColorAt(1, kStrikeRed.darker(112));
    p.setPen(QPen(QBrush(red), 2.7, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(from, to);
}

void paintHdLettering(QPainter &p, const Ink &ink)
{
    const QRectF plate(4.5, 8.5, 23, 15);
    p.setPen(Qt::NoPen);
    p.setBrush(inkBrush(ink, plate.top(), plate.bottom()));
    p.drawRoundedRect(plate, 3.6, 3.6);
    p.setPen(QPen(QColor(255, 255, 255, 70), 1));
    p.drawLine(QPointF(7.5, 9.8), QPointF(24.5, 9.8));
    p.setPen(ink.detail);
    p.setFont(pixelFont(QStringLiteral("Liberation Sans"), 11, QFont::Bold));
    p.drawText(plate.translated(0, 0.5), Qt::AlignCenter, QStringLiteral("HD"));
}

void paintPhotoCamera(QPainter &p, const Ink &ink)
{
    p.setPen(Qt::NoPen);
    p.setBrush(inkBrush(ink, 6, 26));
    QPainterPath body;
    body.addRoundedRect(QRectF(4.5, 10, 23, 15.6), 3.2, 3.2);
    QPolygonF hump;
    hump << QPointF(10.6, 10.8) << QPointF(12.6, 6.8) << QPointF(19.4, 6.8) << QPointF(21.4, 10.8);
    body.addPolygon(hump);
    body.setFillRule(Qt::WindingFill);
    p.drawPath(body.simplified());
    p.drawRoundedRect(QRectF(6.4, 8.4, 3.6, 2.2), 0.8, 0.8); // shutter release
    const QPointF lens(16, 17.9);
    p.setBrush(ink.detail);
    p.drawEllipse(lens, 5.7, 5.7);
    QRadialGradient glass(lens, 4.1, lens + QPointF(-1.2, -1.2));
    glass.setColorAt(0, ink.top);
    glass.setColorAt(0.55, ink.bottom);
    glass.setColorAt(1, ink.core);
    p.setBrush(glass);
    p.drawEllipse(lens, 4.1, 4.1);
    p.setBrush(QColor(255, 255, 255, 220));
    p.drawEllipse(lens + QPointF(-1.4, -1.4), 1.1, 1.1);
    p.setBrush(QColor(255, 255, 255, 210));
    p.drawRoundedRect(QRectF(21.4, 12.2, 3.6, 1.9), 0.9, 0.9); // flash window
}

enum class Halo { Rim, Contact, RedGlow };

// --- record balls -------------------------------------------------------------

struct Ball {
    QColor light, base, dark;
    QColor rim;
    double gloss;
};
const Ball kRedBall{{0xFF, 0x8E, 0x80}, {0xE2, 0x34, 0x2A}, {0x8C, 0x12, 0x0C}, {0x6E, 0x0C, 0x07, 150}, 1.0};
const Ball kGreyBall{{0xF0, 0xF2, 0xF5}, {0xAD, 0xB2, 0xB9}, {0x6A, 0x70, 0x78}, {0x50, 0x56, 0x5E, 130}, 0.85};
const Ball kDarkRedBall{{0xB0, 0x45, 0x3C}, {0x86, 0x1A, 0x14}, {0x45, 0x07, 0x04}, {0x30, 0x04, 0x02, 170}, 0.45};
const Ball kBrightRedBall{{0xFF, 0xC4, 0xBA}, {0xFF, 0x45, 0x36}, {0xC9, 0x1D, 0x11}, {0xA0, 0x14, 0x0A, 140}, 1.0};
constexpr double kBallRadius = 10.5;
const QColor kBrightRedGlow{0xFF, 0x4A, 0x36, 190};

void paintBall(QPainter &p, const Ball &ball)
{
    const QPointF c(16, 16);
    const double r = kBallRadius;
    QRadialGradient body(c, r, c + QPointF(-0.3 * r, -0.45 * r));
    body.setColorAt(0, ball.light);
    body.setColorAt(0.5, ball.base);
    body.setColorAt(1, ball.dark);
    p.setPen(QPen(ball.rim, 1));
    p.setBrush(body);
    p.drawEllipse(c, r, r);
    // Light bounced back from below.
    QRadialGradient bounce(c + QPointF(0, 0.75 * r), 0.6 * r);
    bounce.setColorAt(0, QColor(ball.light.red(), ball.light.green(), ball.light.blue(), 110));
    bounce.setColorAt(1, QColor(ball.light.red(), ball.light.green(), ball.light.blue(), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(bounce);
    p.drawEllipse(c, r - 1, r - 1);
    // Window reflection on top.
    const QRectF gloss(c.x() - 0.62 * r, c.y() - 0.9 * r, 1.24 * r, 0.72 * r);
    QLinearGradient shine(gloss.topLeft(), gloss.bottomLeft());
    shine.setColorAt(0, QColor(255, 255, 255, static_cast<int>(225 * ball.gloss)));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    p.setBrush(shine);
    p.drawEllipse(gloss);
}

// --- columns ------------------------------------------------------------------

struct Column {
    std::function<void(QPainter &)> paint;
    Halo halo;
};

template <void (*Glyph)(QPainter &, const Ink &)>
Column glyphColumn(const Ink &ink)
{
    return {[&ink](QPainter &p) { Glyph(p, ink); }, Halo::Rim};
}

Column ballColumn(const Ball &b, Halo halo = Halo::Contact)
{
    return {[&b](QPainter &p) { paintBall(p, b); }, halo};
}

const std::array<Column, kColumns> &sheetColumns()
{
    static const std::array<Column, kColumns> columns{{
        glyphColumn<paintCross>(kBlueInk),            // x = 0    close
        glyphColumn<paintSliders>(kBlueInk),          // x = 32   image settings
        glyphColumn<paintWebcam>(kBlueInk),           // x = 64   camera choice
        glyphColumn<paintMicrophone>(kBlueInk),       // x = 96   microphone
        glyphColumn<paintMicrophone>(kGreyInk),       // x = 128  no microphone present
        glyphColumn<paintStruckMicrophone>(kBlueInk), // x = 160  recording without sound
        glyphColumn<paintHdLettering>(kBlueInk),      // x = 192  capture mode
        glyphColumn<paintPhotoCamera>(kBlueInk),      // x = 224  photo
        glyphColumn<paintPhotoCamera>(kGreyInk),      // x = 256  photo unavailable
        ballColumn(kRedBall),                         // x = 288  record
        ballColumn(kGreyBall),                        // x = 320  record unavailable
        ballColumn(kDarkRedBall),                     // x = 352  recording, dark beat
        ballColumn(kBrightRedBall, Halo::RedGlow),    // x = 384  recording, bright beat
    }};
    return columns;
}

// --- looks --------------------------------------------------------------------

const QColor kRimColour{255, 255, 255, 225};
const QColor kContactShadow{0, 0, 0, 95};
const QRectF kBox{1.5, 1.5, 29, 29};
constexpr double kBoxRadius = 6;
const QColor kBoxTop{255, 255, 255, 242};
const QColor kBoxBottom{0xE8, 0xEC, 0xF2, 242};
const QColor kBoxShadow{0, 0, 0, 70};
constexpr double kFadedOpacity = 0.42;

QImage glyphLayer(const Column &column)
{
    QImage layer = newLayer({kCell, kCell});
    QPainter p(&layer);
    prepare(p);
    column.paint(p);
    return layer;
}

void paintWithHalo(QPainter &p, const QImage &glyph, Halo halo)
{
    switch (halo) {
    case Halo::Rim:
        drawGlow(p, glyph, {QColor(0, 0, 0, 80), 0.6, 2, {0, 1}});
        drawGlow(p, glyph, {kRimColour, 1.2, 1, {}});
        break;
    case Halo::Contact:
        drawGlow(p, glyph, {kContactShadow, 0, 1, {0, 1.2}});
        break;
    case Halo::RedGlow:
        drawGlow(p, glyph, {kBrightRedGlow, 1.0, 2, {}});
        break;
    }
    p.drawImage(0, 0, glyph);
}

QImage composeCell(const Column &column, int row)
{
    const QImage glyph = glyphLayer(column);
    QImage cell = newLayer({kCell, kCell});
    QPainter p(&cell);
    prepare(p);
    if (row == 1) {
        QImage box = newLayer({kCell, kCell});
        {
            QPainter b(&box);
            prepare(b);
            QLinearGradient fill(kBox.topLeft(), kBox.bottomLeft());
            fill.setColorAt(0, kBoxTop);
            fill.setColorAt(1, kBoxBottom);
            b.setPen(QPen(kHighlightOutline, 1));
            b.setBrush(fill);
            b.drawRoundedRect(kBox, kBoxRadius, kBoxRadius);
        }
        drawGlow(p, box, {kBoxShadow, 0, 1, {0, 1}});
        p.drawImage(0, 0, box);
    }
    if (row == 2)
        p.setOpacity(kFadedOpacity);
    paintWithHalo(p, glyph, column.halo);
    return cell;
}

} // namespace

QImage drawButtonSheet()
{
    QImage sheet = newCanvas(kCell * kColumns, kCell * kRows);
    QPainter p(&sheet);
    for (int column = 0; column < kColumns; ++column)
        for (int row = 0; row < kRows; ++row)
            p.drawImage(column * kCell, row * kCell, composeCell(sheetColumns()[column], row));
    return sheet;
}

} // namespace artgen
