// Prints "hidden" when the X server's current pointer image is fully
// transparent (a blank cursor), else "shown": what xdotool cannot tell.
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

#include <cstdio>

int main() {
  Display* display = XOpenDisplay(nullptr);
  if (!display) {
    std::fprintf(stderr, "pointer-look: cannot open the display\n");
    return 2;
  }
  int event = 0, error = 0;
  if (!XFixesQueryExtension(display, &event, &error)) {
    std::fprintf(stderr, "pointer-look: no XFIXES extension\n");
    XCloseDisplay(display);
    return 2;
  }
  XFixesCursorImage* image = XFixesGetCursorImage(display);
  if (!image) {
    std::fprintf(stderr, "pointer-look: XFixesGetCursorImage failed\n");
    XCloseDisplay(display);
    return 2;
  }
  bool visible = false;
  for (unsigned long i = 0; i < static_cast<unsigned long>(image->width) * image->height; ++i) {
    if ((image->pixels[i] >> 24) & 0xFF) visible = true;
  }
  std::puts(visible ? "shown" : "hidden");
  XFree(image);
  XCloseDisplay(display);
  return 0;
}
