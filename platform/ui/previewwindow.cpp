#include "previewwindow.h"

#include "passivewindow.h"

#include <QPalette>

namespace {

class PreviewWindow final : public PassiveWindow {
public:
    PreviewWindow(const QString& className, QWidget* owner) : PassiveWindow(className, owner)
    {
        // Black until the renderer covers it.
        QPalette pal = palette();
        pal.setColor(QPalette::Window, Qt::black);
        setPalette(pal);
        setAutoFillBackground(true);
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
