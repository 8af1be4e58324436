// Xlib's errors in the launcher (see x_errors.h).
#include "platform/linux/x_errors.h"

#include <X11/Xlib.h>

#include <atomic>
#include <cstdio>
#include <mutex>

namespace platform {

namespace {

// Windows noted as gone, the oldest overwritten first. Any thread may read
// them in the handler while the window thread notes another.
std::atomic<unsigned long> goneWindows[kRememberedGoneWindows];
std::atomic<unsigned> goneCount{0};

// Set once on the window thread before any worker starts.
XErrorHandler previousHandler = nullptr;

int handleXError(Display* display, XErrorEvent* error) {
  if (isAboutGoneWindow(error->error_code, error->resourceid)) {
    std::fprintf(stderr, "X error %d of request %d about window 0x%lx, which was closed: ignored\n", error->error_code,
                 error->request_code, error->resourceid);
    return 0;
  }
  return previousHandler ? previousHandler(display, error) : 0;
}

}  // namespace

bool isAboutGoneWindow(int errorCode, unsigned long resource) {
  if ((errorCode != BadWindow && errorCode != BadDrawable) || resource == 0) return false;
  for (const std::atomic<unsigned long>& gone : goneWindows)
    if (gone.load() == resource) return true;
  return false;
}

void noteXWindowGone(unsigned long window) {
  goneWindows[goneCount.fetch_add(1) % kRememberedGoneWindows].store(window);
}

void handleXErrorsOfGoneWindows() {
  static std::once_flag once;
  std::call_once(once, [] { previousHandler = XSetErrorHandler(handleXError); });
}

}  // namespace platform
