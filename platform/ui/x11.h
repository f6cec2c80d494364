// The X11 query Qt does not offer; off X11 the platform composes itself.
#pragma once

namespace x11 {

// A compositing manager owns the _NET_WM_CM_S0 selection of the screen.
bool CompositorRunning();

} // namespace x11
