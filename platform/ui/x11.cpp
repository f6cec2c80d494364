#include "x11.h"

#include "ui_log.h"

#include <QGuiApplication>
#include <QWidget>

#include <X11/Xlib.h>
#include <X11/extensions/shape.h>

namespace x11 {
namespace {

Display* DisplayOf()
{
    auto* x11App = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11App ? x11App->display() : nullptr;
}

// The ancestor of `w` that is a child of the root window: the WM's frame,
// or the window itself when it is not reparented.
Window TopLevelFrame(Display* dpy, Window w)
{
    for (int depth = 0; depth < 8; ++depth) {
        Window root = 0, parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (!XQueryTree(dpy, w, &root, &parent, &children, &count)) return w;
        if (children) XFree(children);
        if (parent == 0 || parent == root) return w;
        w = parent;
    }
    return w;
}

} // namespace

bool CompositorRunning()
{
    Display* dpy = DisplayOf();
    if (!dpy) return true; // off X11 the platform composes itself
    const Atom sel = XInternAtom(dpy, "_NET_WM_CM_S0", False);
    return XGetSelectionOwner(dpy, sel) != None;
}

void RestackBelow(QWidget* window, QWidget* sibling)
{
    Display* dpy = DisplayOf();
    if (!dpy || !window || !sibling) return;
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = static_cast<Window>(window->winId());
    ev.xclient.message_type = XInternAtom(dpy, "_NET_RESTACK_WINDOW", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 2; // from a pager-like source: the WM obeys
    ev.xclient.data.l[1] = static_cast<long>(sibling->winId());
    ev.xclient.data.l[2] = Below;
    XSendEvent(dpy, DefaultRootWindow(dpy), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(dpy);
}

void ClearInputShape(QWidget* window)
{
    Display* dpy = DisplayOf();
    if (!dpy || !window || !window->isVisible()) return;
    // Without the extension the request would end the connection.
    static const bool hasShape = [dpy] {
        int eventBase = 0, errorBase = 0;
        const bool present = XShapeQueryExtension(dpy, &eventBase, &errorBase);
        if (!present)
            qCWarning(lcUi) << "display" << DisplayString(dpy)
                            << ": XShapeQueryExtension: no SHAPE extension; clicks over the picture"
                               " reach the window below instead of Kinovo";
        return present;
    }();
    if (!hasShape) return;
    const Window client = static_cast<Window>(window->winId());
    XShapeCombineRectangles(dpy, client, ShapeInput, 0, 0, nullptr, 0, ShapeSet, YXBanded);
    const Window frame = TopLevelFrame(dpy, client);
    if (frame != client) XShapeCombineRectangles(dpy, frame, ShapeInput, 0, 0, nullptr, 0, ShapeSet, YXBanded);
    XFlush(dpy);
}

} // namespace x11
