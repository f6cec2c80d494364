#include "previewwindow.h"

#include "x11.h"

#include <QPalette>
#include <QShowEvent>
#include <QTimer>

namespace {

class PreviewWindow final : public QWidget {
public:
    PreviewWindow(const QString& className, QWidget* owner)
        : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowTransparentForInput
                             | Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint)
    {
        setObjectName(className);
        setAttribute(Qt::WA_ShowWithoutActivating);
        setAttribute(Qt::WA_X11DoNotAcceptFocus);
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        // Black until the renderer covers it.
        QPalette pal = palette();
        pal.setColor(QPalette::Window, Qt::black);
        setPalette(pal);
        setAutoFillBackground(true);
    }

protected:
    void showEvent(QShowEvent* e) override
    {
        QWidget::showEvent(e);
        // The frame a reparenting window manager adds later must let clicks
        // through as well.
        x11::ClearInputShape(this);
        for (int ms : {20, 100, 300})
            QTimer::singleShot(ms, this, [this] { x11::ClearInputShape(this); });
    }
};

PreviewWindow* AsPreview(HWND hWnd)
{
    return IsWindow(hWnd) ? dynamic_cast<PreviewWindow*>(hWnd) : nullptr;
}

} // namespace

HWND CreatePreviewWindowObject(const QString& className, HWND owner)
{
    auto* w = new PreviewWindow(className, owner);
    w->setGeometry(0, 0, 1, 1);
    return w;
}

void DestroyPreviewWindowObject(HWND preview)
{
    if (AsPreview(preview)) delete preview;
}

bool IsPreviewWindow(HWND hWnd) { return AsPreview(hWnd) != nullptr; }
