// Finding another program's window on Linux: the X11 top-level windows and,
// since window managers reparent them into frames, their children, compared
// by the class or instance name of WM_CLASS.
#include "platform/window_find.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstring>

namespace platform {

// Why an error handler: a window may vanish between the listing and the
// question, and Xlib's default handler would end the process.
static int ignoreXError(Display*, XErrorEvent*) { return 0; }

static bool hasClass(Display* display, Window window, const char* className) {
  XClassHint hint{};
  if (!XGetClassHint(display, window, &hint)) return false;
  bool match = (hint.res_class && std::strcmp(hint.res_class, className) == 0) ||
               (hint.res_name && std::strcmp(hint.res_name, className) == 0);
  if (hint.res_class) XFree(hint.res_class);
  if (hint.res_name) XFree(hint.res_name);
  return match;
}

// Looks at window's children and, one level down, theirs.
static bool childHasClass(Display* display, Window parent, const char* className, int depth) {
  Window root = 0, ignored = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, parent, &root, &ignored, &children, &count)) return false;
  bool found = false;
  for (unsigned i = 0; i < count && !found; ++i) {
    found = hasClass(display, children[i], className) ||
            (depth > 0 && childHasClass(display, children[i], className, depth - 1));
  }
  if (children) XFree(children);
  return found;
}

bool windowOfClassExists(const char* className) {
  if (!className) return false;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  XErrorHandler previous = XSetErrorHandler(ignoreXError);
  bool found = childHasClass(display, DefaultRootWindow(display), className, 1);
  XSync(display, False);
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  return found;
}

}  // namespace platform
