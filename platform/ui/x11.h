// The few X11 calls Qt does not offer. All are no-ops off X11.
#pragma once

class QWidget;

namespace x11 {

// A compositing manager owns the _NET_WM_CM_S0 selection of the screen.
bool CompositorRunning();

// Asks the window manager to stack `window` directly below `sibling`.
void RestackBelow(QWidget* window, QWidget* sibling);

// Makes the window, and the frame a reparenting window manager put around
// it, let every pointer event through to what lies below.
void ClearInputShape(QWidget* window);

} // namespace x11
