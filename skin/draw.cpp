#include "draw.h"

#include <QFontMetricsF>
#include <QLinearGradient>

#include <cmath>

namespace {

constexpr std::uint32_t kHaloColour = 0x50FFFFFF;
constexpr std::uint32_t kTextBlue = 0xFF3B83BD;

// Moves vector drawing onto pixel centres for as long as it lives.
class PixelCentres {
public:
    explicit PixelCentres(Graphics* g) : m_g(g)
    {
        m_g->save();
        m_g->translate(0.5, 0.5);
    }
    ~PixelCentres() { m_g->restore(); }
    PixelCentres(const PixelCentres&) = delete;
    PixelCentres& operator=(const PixelCentres&) = delete;

private:
    Graphics* m_g;
};

Qt::Alignment HorizontalFlag(StringAlignment align)
{
    switch (align) {
    case StringAlignment::Center: return Qt::AlignHCenter;
    case StringAlignment::Far: return Qt::AlignRight;
    case StringAlignment::Near: break;
    }
    return Qt::AlignLeft;
}

} // namespace

void SetSmoothingMode(Graphics* g, SmoothingMode mode)
{
    // Both modes mean anti-aliased geometry and text here; stretched images
    // stay nearest-neighbour either way, as the skin relies on it.
    (void)mode;
    g->setRenderHint(QPainter::Antialiasing, true);
    g->setRenderHint(QPainter::TextAntialiasing, true);
}

QFont MakeFont(const QString& family, double points, unsigned style)
{
    QFont font(family);
    // A family fontconfig cannot place falls back to the sans-serif one.
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(static_cast<int>(std::lround(points * 96.0 / 72.0)));
    font.setBold((style & FontBold) != 0);
    font.setItalic((style & FontItalic) != 0);
    font.setUnderline((style & FontUnderline) != 0);
    return font;
}

void DrawString(Graphics* g, const QString& text, const QFont& font, const QRectF& rc, StringAlignment align,
                const QColor& colour)
{
    if (rc.width() <= 0 || rc.height() <= 0) return;
    const QFontMetricsF fm(font);
    const QString shown = fm.elidedText(text, Qt::ElideRight, rc.width());
    g->save();
    g->setClipRect(rc, Qt::IntersectClip);
    g->setFont(font);
    g->setPen(colour);
    g->drawText(rc, HorizontalFlag(align) | Qt::AlignTop | Qt::TextSingleLine, shown);
    g->restore();
}

QRectF MeasureString(const QString& text, const QFont& font, const QRectF& rc)
{
    const QFontMetricsF fm(font);
    const QRectF laid = fm.boundingRect(rc, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text);
    return QRectF(rc.x(), rc.y(), laid.width(), laid.height());
}

QBrush VerticalGradient(const QRectF& rc, std::uint32_t top, std::uint32_t bottom)
{
    QLinearGradient gradient(rc.left(), rc.top(), rc.left(), rc.bottom());
    gradient.setColorAt(0.0, Argb(top));
    gradient.setColorAt(1.0, Argb(bottom));
    gradient.setSpread(QGradient::RepeatSpread);
    return QBrush(gradient);
}

QPen MakePen(std::uint32_t argb, double width)
{
    QPen pen(Argb(argb));
    pen.setWidthF(width);
    return pen;
}

void FillPath(Graphics* g, const QBrush& brush, const QPainterPath& path)
{
    PixelCentres at(g);
    g->fillPath(path, brush);
}

void DrawPath(Graphics* g, const QPen& pen, const QPainterPath& path)
{
    PixelCentres at(g);
    g->strokePath(path, pen);
}

void FillRectangle(Graphics* g, const QBrush& brush, const QRectF& rc)
{
    PixelCentres at(g);
    g->fillRect(rc, brush);
}

void DrawLine(Graphics* g, const QPen& pen, QPointF a, QPointF b)
{
    PixelCentres at(g);
    g->setPen(pen);
    g->drawLine(a, b);
}

void FillEllipse(Graphics* g, const QBrush& brush, const QRectF& box)
{
    PixelCentres at(g);
    g->setPen(Qt::NoPen);
    g->setBrush(brush);
    g->drawEllipse(box);
}

void DrawEllipse(Graphics* g, const QPen& pen, const QRectF& box)
{
    PixelCentres at(g);
    g->setPen(pen);
    g->setBrush(Qt::NoBrush);
    g->drawEllipse(box);
}

QPainterPath MakeRoundRectPath(const QRectF& rc, double r)
{
    // The corners go clockwise on the screen (y down); QPainterPath counts
    // angles the other way round, hence the negated start and sweep angles.
    if (r < 0) r = 0;
    const double X = rc.x(), Y = rc.y(), W = rc.width(), H = rc.height(), d = 2 * r;
    struct Corner {
        QRectF box;
        double start; // clockwise degrees from +x
        QPointF from; // where the arc starts
    };
    const Corner corners[] = {
        {QRectF(X + W - d, Y, d, d), 270, QPointF(X + W - r, Y)},
        {QRectF(X + W - d, Y + H - d, d, d), 0, QPointF(X + W, Y + H - r)},
        {QRectF(X, Y + H - d, d, d), 90, QPointF(X + r, Y + H)},
        {QRectF(X, Y, d, d), 180, QPointF(X, Y + r)},
    };
    QPainterPath path;
    path.moveTo(X + r, Y);
    for (const Corner& c : corners) {
        // The edge to the corner, drawn even when the arc degenerates (r = 0).
        path.lineTo(c.from);
        if (d > 0) path.arcTo(c.box, -c.start, -90.0);
    }
    path.closeSubpath();
    return path;
}

void DrawHaloText(Graphics* g, const QFont& font, const QString& text, const QRectF& rc)
{
    const QColor halo = Argb(kHaloColour);
    for (const QPointF off : {QPointF(-1, 0), QPointF(1, 0), QPointF(0, -1), QPointF(0, 1)})
        DrawString(g, text, font, rc.translated(off), StringAlignment::Near, halo);
    DrawString(g, text, font, rc, StringAlignment::Near, Argb(kTextBlue));
}

void FillStrokeRoundRect(Graphics* g, const QBrush& brush, const QPen& pen, const QRectF& rc)
{
    const QPainterPath path = MakeRoundRectPath(rc, 4);
    FillPath(g, brush, path);
    DrawPath(g, pen, path);
}
