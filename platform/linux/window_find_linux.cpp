// Finding another program's window on Linux: the X11 top-level windows and,
// since window managers reparent them into frames, their children, compared
// by the class or instance name of WM_CLASS.
#include "platform/window_find.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <strings.h>

#include <cstring>

namespace platform {

namespace {

// Windows programs whose windows are looked for by their Win32 class, with
// the executable that makes them: Wine names the X11 class of every window
// of a program after its executable, so on Linux only that name shows.
struct WineProgram {
  const char* windowClass;
  const char* executable;
};
constexpr WineProgram kWinePrograms[] = {{"cKELDA", "Kelda.exe"}};

// The executable whose Wine windows also count for the class; null if none.
const char* wineExecutableOf(const char* className) {
  for (const WineProgram& program : kWinePrograms)
    if (std::strcmp(program.windowClass, className) == 0) return program.executable;
  return nullptr;
}

// What a window's WM_CLASS must hold: the class itself, or the executable
// of the program that makes such windows under Wine.
struct ClassQuery {
  const char* className;
  const char* wineExecutable;
};

bool namesMatch(const char* name, const ClassQuery& query) {
  if (!name) return false;
  if (std::strcmp(name, query.className) == 0) return true;
  return query.wineExecutable && ::strcasecmp(name, query.wineExecutable) == 0;
}

// Why an error handler: a window may vanish between the listing and the
// question, and Xlib's default handler would end the process.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

bool hasClass(Display* display, Window window, const ClassQuery& query) {
  XClassHint hint{};
  if (!XGetClassHint(display, window, &hint)) return false;
  bool match = namesMatch(hint.res_class, query) || namesMatch(hint.res_name, query);
  if (hint.res_class) XFree(hint.res_class);
  if (hint.res_name) XFree(hint.res_name);
  return match;
}

// Looks at window's children and, one level down, theirs.
bool childHasClass(Display* display, Window parent, const ClassQuery& query, int depth) {
  Window root = 0, ignored = 0;
  Window* children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(display, parent, &root, &ignored, &children, &count)) return false;
  bool found = false;
  for (unsigned i = 0; i < count && !found; ++i) {
    found =
        hasClass(display, children[i], query) || (depth > 0 && childHasClass(display, children[i], query, depth - 1));
  }
  if (children) XFree(children);
  return found;
}

}  // namespace

bool windowOfClassExists(const char* className) {
  if (!className) return false;
  Display* display = XOpenDisplay(nullptr);
  if (!display) return false;
  XErrorHandler previous = XSetErrorHandler(ignoreXError);
  bool found =
      childHasClass(display, DefaultRootWindow(display), ClassQuery{className, wineExecutableOf(className)}, 1);
  XSync(display, False);
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  return found;
}

}  // namespace platform
