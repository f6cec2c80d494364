#include "layerwindow.h"

#include "passivewindow.h"
#include "ui_log.h"
#include "x11.h"

#include <QPainter>
#include <QSet>

#include <cstdlib>
#include <vector>

namespace {

QSet<QString>& ClassRegistry()
{
    static QSet<QString> names;
    return names;
}

class LayerWindow final : public PassiveWindow {
public:
    LayerWindow(const QString& className, QWidget* owner) : PassiveWindow(className, owner)
    {
        setAttribute(Qt::WA_TranslucentBackground);
        setAttribute(Qt::WA_NoSystemBackground);
    }

    void SetPicture(const QImage& picture, int alpha)
    {
        m_picture = picture;
        m_alpha = alpha;
        if (x11::CompositorRunning()) {
            if (!mask().isEmpty()) clearMask();
            setWindowOpacity(alpha / 255.0);
        } else {
            setMask(OpaqueRegion(picture));
        }
        if (isVisible()) repaint();
    }

    const QImage& Picture() const { return m_picture; }
    int Alpha() const { return m_alpha; }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.fillRect(rect(), Qt::transparent);
        if (!m_picture.isNull()) p.drawImage(0, 0, m_picture);
    }

private:
    QImage m_picture;
    int m_alpha = 255;
};

LayerWindow* AsLayer(HWND hWnd)
{
    return IsWindow(hWnd) ? dynamic_cast<LayerWindow*>(hWnd) : nullptr;
}

} // namespace

bool RegisterWindowClass(const QString& name)
{
    if (ClassRegistry().contains(name)) return false;
    ClassRegistry().insert(name);
    return true;
}

bool UnregisterWindowClass(const QString& name) { return ClassRegistry().remove(name); }

bool IsWindowClassRegistered(const QString& name) { return ClassRegistry().contains(name); }

QString UniqueClassName(const QString& prefix)
{
    return prefix + QString::number(std::rand(), 16).toUpper();
}

HWND CreateLayerWindow(const QString& className, HWND owner, const CRect& rc)
{
    auto* w = new LayerWindow(className, owner);
    w->setGeometry(rc.left, rc.top, std::max(rc.Width(), 1), std::max(rc.Height(), 1));
    // Mapped together with its owner: an early map, unmapped again before the
    // owner shows, can be lost by a reparenting window manager.
    if (owner && owner->isVisible()) w->show();
    return w;
}

void DestroyLayerWindowObject(HWND layer)
{
    if (AsLayer(layer)) delete layer;
}

bool IsLayerWindow(HWND hWnd) { return AsLayer(hWnd) != nullptr; }

bool UpdateLayeredWindow(HWND layer, CPoint pos, CPoint size, const QImage& picture, int alpha)
{
    LayerWindow* w = AsLayer(layer);
    if (!w || size.x <= 0 || size.y <= 0) {
        qCDebug(lcUi) << "UpdateLayeredWindow:" << (w ? "empty size" : "not a layer window") << size.x << "x" << size.y;
        return false;
    }
    const QRect g(pos.x, pos.y, size.x, size.y);
    if (w->geometry() != g) w->setGeometry(g);
    w->SetPicture(picture, alpha & 0xFF);
    return true;
}

QImage LayerPicture(HWND layer)
{
    LayerWindow* w = AsLayer(layer);
    return w ? w->Picture() : QImage();
}

int LayerAlpha(HWND layer)
{
    LayerWindow* w = AsLayer(layer);
    return w ? w->Alpha() : 0;
}

QRegion OpaqueRegion(const QImage& picture)
{
    // One rectangle per run of kept pixels in a row: already in the banded
    // order a region is stored in.
    std::vector<QRect> runs;
    const QImage src = picture.convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < src.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(src.constScanLine(y));
        int x = 0;
        while (x < src.width()) {
            while (x < src.width() && qAlpha(line[x]) < 128) ++x;
            const int start = x;
            while (x < src.width() && qAlpha(line[x]) >= 128) ++x;
            if (x > start) runs.emplace_back(start, y, x - start, 1);
        }
    }
    QRegion r;
    r.setRects(runs.data(), static_cast<int>(runs.size()));
    // An empty mask would mean "no mask" and show the whole window.
    return r.isEmpty() ? QRegion(0, 0, 1, 1) : r;
}
