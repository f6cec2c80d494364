#include "paintkit.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace artgen {

QImage newCanvas(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    return image;
}

QImage newLayer(QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

void prepare(QPainter &p)
{
    p.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                     QPainter::SmoothPixmapTransform);
}

QImage alphaMask(const QImage &layer)
{
    return layer.convertToFormat(QImage::Format_Alpha8);
}

QImage dilate(const QImage &mask, double radius)
{
    if (radius <= 0)
        return mask;
    const int w = mask.width(), h = mask.height();
    const int reach = static_cast<int>(std::ceil(radius + 0.5));
    QImage out(w, h, QImage::Format_Alpha8);
    for (int y = 0; y < h; ++y) {
        uchar *dst = out.scanLine(y);
        for (int x = 0; x < w; ++x) {
            double best = 0;
            for (int dy = -reach; dy <= reach; ++dy) {
                const int sy = y + dy;
                if (sy < 0 || sy >= h)
                    continue;
                const uchar *src = mask.constScanLine(sy);
                for (int dx = -reach; dx <= reach; ++dx) {
                    const int sx = x + dx;
                    if (sx < 0 || sx >= w || src[sx] == 0)
                        continue;
                    // Soft edge on the structuring disc keeps the grown
                    // outline anti-aliased.
                    const double weight =
                        std::clamp(radius + 0.5 - std::hypot(dx, dy), 0.0, 1.0);
                    best = std::max(best, src[sx] * weight);
                }
            }
            dst[x] = static_cast<uchar>(std::lround(best));
        }
    }
    return out;
}

namespace {

// One box pass along a line of `n` samples spaced `stride` apart.
void boxPass(std::vector<float> &data, int offset, int n, int stride, int radius)
{
    std::vector<float> line(n);
    for (int i = 0; i < n; ++i)
        line[i] = data[offset + i * stride];
    const float norm = 1.0f / static_cast<float>(2 * radius + 1);
    float sum = 0;
    for (int i = -radius; i <= radius; ++i)
        sum += (i >= 0 && i < n) ? line[i] : 0.0f;
    for (int i = 0; i < n; ++i) {
        data[offset + i * stride] = sum * norm;
        const int add = i + radius + 1, sub = i - radius;
        if (add < n)
            sum += line[add];
        if (sub >= 0)
            sum -= line[sub];
    }
}

} // namespace

QImage blur(const QImage &mask, int radius)
{
    if (radius <= 0)
        return mask;
    const int w = mask.width(), h = mask.height();
    std::vector<float> data(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y) {
        const uchar *src = mask.constScanLine(y);
        for (int x = 0; x < w; ++x)
            data[static_cast<size_t>(y) * w + x] = src[x];
    }
    for (int pass = 0; pass < 3; ++pass) {
        for (int y = 0; y < h; ++y)
            boxPass(data, y * w, w, 1, radius);
        for (int x = 0; x < w; ++x)
            boxPass(data, x, h, w, radius);
    }
    QImage out(w, h, QImage::Format_Alpha8);
    for (int y = 0; y < h; ++y) {
        uchar *dst = out.scanLine(y);
        for (int x = 0; x < w; ++x)
            dst[x] = static_cast<uchar>(
                std::clamp(std::lround(data[static_cast<size_t>(y) * w + x]), 0L, 255L));
    }
    return out;
}

QImage tint(const QImage &mask, const QColor &colour)
{
    QImage out(mask.size(), QImage::Format_ARGB32_Premultiplied);
    const double a = colour.alphaF();
    for (int y = 0; y < mask.height(); ++y) {
        const uchar *src = mask.constScanLine(y);
        auto *dst = reinterpret_cast<QRgb *>(out.scanLine(y));
        for (int x = 0; x < mask.width(); ++x) {
            const int alpha = static_cast<int>(std::lround(src[x] * a));
            dst[x] = qPremultiply(qRgba(colour.red(), colour.green(), colour.blue(), alpha));
        }
    }
    return out;
}

void drawGlow(QPainter &p, const QImage &layer, const Glow &glow)
{
    QImage mask = alphaMask(layer);
    mask = dilate(mask, glow.spread);
    mask = blur(mask, glow.blurRadius);
    p.drawImage(glow.offset, tint(mask, glow.colour));
}

double sdRoundRect(QPointF p, const QRectF &r, double radius)
{
    const QPointF c = r.center();
    const double qx = std::abs(p.x() - c.x()) - (r.width() / 2 - radius);
    const double qy = std::abs(p.y() - c.y()) - (r.height() / 2 - radius);
    const double outside = std::hypot(std::max(qx, 0.0), std::max(qy, 0.0));
    return outside + std::min(std::max(qx, qy), 0.0) - radius;
}

double sdTriangle(QPointF p, QPointF a, QPointF b, QPointF c)
{
    const auto dot = [](QPointF u, QPointF v) { return u.x() * v.x() + u.y() * v.y(); };
    const QPointF e0 = b - a, e1 = c - b, e2 = a - c;
    const QPointF v0 = p - a, v1 = p - b, v2 = p - c;
    const auto edgeOffset = [&](QPointF v, QPointF e) {
        return v - e * std::clamp(dot(v, e) / dot(e, e), 0.0, 1.0);
    };
    const QPointF pq0 = edgeOffset(v0, e0), pq1 = edgeOffset(v1, e1), pq2 = edgeOffset(v2, e2);
    const double s = (e0.x() * e2.y() - e0.y() * e2.x()) > 0 ? 1.0 : -1.0;
    const auto cross = [](QPointF v, QPointF e) { return v.x() * e.y() - v.y() * e.x(); };
    const double d = std::min({dot(pq0, pq0), dot(pq1, pq1), dot(pq2, pq2)});
    const double side = std::min({s * cross(v0, e0), s * cross(v1, e1), s * cross(v2, e2)});
    return -std::sqrt(d) * (side > 0 ? 1.0 : side < 0 ? -1.0 : 0.0);
}

double smoothUnion(double a, double b, double k)
{
    const double h = std::max(k - std::abs(a - b), 0.0) / k;
    return std::min(a, b) - h * h * k * 0.25;
}

double smoothstep(double edge0, double edge1, double x)
{
    const double t = std::clamp((x - edge0) / (edge1 - edge0), 0.0, 1.0);
    return t * t * (3 - 2 * t);
}

double mix(double a, double b, double t)
{
    return a + (b - a) * t;
}

QColor mixColour(const QColor &a, const QColor &b, double t)
{
    return QColor::fromRgbF(static_cast<float>(mix(a.redF(), b.redF(), t)),
                            static_cast<float>(mix(a.greenF(), b.greenF(), t)),
                            static_cast<float>(mix(a.blueF(), b.blueF(), t)),
                            static_cast<float>(mix(a.alphaF(), b.alphaF(), t)));
}

void paintPanel(QImage &canvas, const std::function<double(double, double)> &sdf,
                const PanelStyle &style)
{
    constexpr double kNormalStep = 0.5;
    const double sigma = std::max(style.shadowWidth / 2.5, 0.01);
    for (int y = 0; y < canvas.height(); ++y) {
        auto *row = reinterpret_cast<QRgb *>(canvas.scanLine(y));
        for (int x = 0; x < canvas.width(); ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const double d = sdf(px, py);
            const double coverage = std::clamp(0.5 - d, 0.0, 1.0);

            double shadow = 0;
            if (d > -0.5 && d < style.shadowWidth) {
                // Which way the edge faces decides how strong its shadow is:
                // light from above, so the lower edges carry more.
                const double ny =
                    (sdf(px, py + kNormalStep) - sdf(px, py - kNormalStep)) / (2 * kNormalStep);
                const double facing =
                    mix(style.shadowTop, style.shadowBottom, std::clamp((ny + 1) / 2, 0.0, 1.0));
                const double dd = std::max(d, 0.0);
                const double profile = std::exp(-dd * dd / (2 * sigma * sigma)) *
                                       (1 - smoothstep(0.6 * style.shadowWidth,
                                                       style.shadowWidth, dd));
                shadow = style.shadowColour.alphaF() * facing * profile * (1 - coverage);
            }

            QColor fill = Qt::transparent;
            if (coverage > 0)
                fill = style.fillAt(std::max(-d, 0.0));
            const double af = fill.alphaF() * coverage;
            const double a = af + shadow * (1 - af);
            if (a <= 0) {
                row[x] = qRgba(0, 0, 0, 0);
                continue;
            }
            const double ws = shadow * (1 - af);
            const auto channel = [&](double f, double s) {
                return static_cast<int>(std::lround((f * af + s * ws) / a * 255));
            };
            row[x] = qRgba(channel(fill.redF(), style.shadowColour.redF()),
                           channel(fill.greenF(), style.shadowColour.greenF()),
                           channel(fill.blueF(), style.shadowColour.blueF()),
                           static_cast<int>(std::lround(a * 255)));
        }
    }
}

QFont pixelFont(const QString &family, int pixels, QFont::Weight weight)
{
    QFont font(family);
    font.setPixelSize(pixels);
    font.setWeight(weight);
    font.setHintingPreference(QFont::PreferVerticalHinting);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

} // namespace artgen
