#include "passivewindow.h"

#include "x11.h"

#include <QShowEvent>
#include <QTimer>

PassiveWindow::PassiveWindow(const QString& className, QWidget* owner)
    : QWidget(owner, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowTransparentForInput | Qt::WindowDoesNotAcceptFocus |
                         Qt::NoDropShadowWindowHint)
{
    setObjectName(className);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
}

void PassiveWindow::showEvent(QShowEvent* e)
{
    QWidget::showEvent(e);
    // The window manager wraps the window in a frame of its own some time
    // after mapping; that frame must let clicks through as well.
    x11::ClearInputShape(this);
    for (int ms : {20, 100, 300}) QTimer::singleShot(ms, this, [this] { x11::ClearInputShape(this); });
}
