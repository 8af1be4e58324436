// TEST PROGRAM (never shipped): the launcher's window thread and its one
// worker, reduced to message boxes. The worker shows COUNT boxes one after
// another through platform::showMessageBox, as the update worker shows its
// failures, and asks for a repaint after each as a status change does; then
// it ends the message loop with exit code 0. Box k (counted from FIRST, 1
// when not given) has the caption "Box k". With STDERR_FILE the program's
// error output goes there, so a test can show why it ended.
//
// Usage: message_box_series COUNT [FIRST [STDERR_FILE]]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/window.h"

namespace {

int boxCount = 0;
int firstBox = 1;

void showBoxes() {
  for (int k = firstBox; k < firstBox + boxCount; ++k) {
    const std::string caption = "Box " + std::to_string(k);
    platform::showMessageBox("Failed to download the update..", caption.c_str());
    platform::repaintMainWindow();
  }
  platform::postQuit(0);
}

void paint() { platform::presentBackBuffer(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 4) {
    std::fprintf(stderr, "usage: message_box_series COUNT [FIRST [STDERR_FILE]]\n");
    return 2;
  }
  boxCount = std::atoi(argv[1]);
  if (argc > 2) firstBox = std::atoi(argv[2]);
  if (argc > 3 && !std::freopen(argv[3], "a", stderr)) return 2;
  std::setvbuf(stderr, nullptr, _IONBF, 0);
  platform::WindowHandlers handlers{};
  handlers.paint = paint;
  if (!platform::createMainWindow(handlers) || !platform::createBackBuffer()) {
    std::fprintf(stderr, "no window\n");
    return 3;
  }
  if (!platform::startThread(showBoxes)) return 4;
  const int code = platform::runMessageLoop();
  platform::destroyMainWindow();
  platform::exitProcessNow(static_cast<unsigned>(code));
}
