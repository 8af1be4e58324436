// The process entry: WinMain on Windows, main on Linux, and the one file of
// core/ that joins the layers above it (the window of ui/, the workers of
// update/). It sets the display values, loads the images, shows the window,
// starts exactly one worker and runs the message loop until the player closes
// the window; then the process ends with exit code 0. uiLock already exists:
// static initialisation made it (core/display_state.cpp) before any of this
// runs.
//
// Test builds (VLM_TEST_HOOKS, platform/test_hooks.h; never shipped) read
// VLM_TEST_DISPLAY="file/fileMax/total/totalMax/status" at start: the display takes those values (the status keeps
// "Loading..." when none is given) and no worker is started, so window tests see a known picture.
#include "core/display_state.h"
#include "core/log.h"
#include "platform/command_line.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "platform/window_find.h"
#include "ui/launcher_window.h"
#include "ui/paint_layout.h"
#include "update/game_start.h"
#include "update/repair.h"
#include "update/update_driver.h"

#include <string>
#include <vector>

#if defined(VLM_TEST_HOOKS)
#include <cstdio>
#include <cstdlib>
#endif

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

#if defined(VLM_TEST_HOOKS)
// True when the test asked for fixed display values (and no worker).
bool applyTestDisplay() {
  const char* spec = std::getenv("VLM_TEST_DISPLAY");
  if (!spec) return false;
  unsigned long values[4] = {0, 0, 0, 0};
  int consumed = 0;
  if (std::sscanf(spec, "%lu/%lu/%lu/%lu/%n", &values[0], &values[1], &values[2], &values[3], &consumed) < 4)
    return false;
  core::displayState.fileProgress = static_cast<std::uint32_t>(values[0]);
  core::displayState.fileProgressMax = static_cast<std::uint32_t>(values[1]);
  core::displayState.totalProgress = static_cast<std::uint32_t>(values[2]);
  core::displayState.totalProgressMax = static_cast<std::uint32_t>(values[3]);
  if (consumed > 0 && spec[consumed] != '\0') core::setStatusText(core::displayState, spec + consumed);
  return true;
}
#endif

// The one worker: the game client's window means the update is skipped and
// only another client is started.
void startWorker() {
#if defined(VLM_TEST_HOOKS)
  if (std::getenv("VLM_TEST_DISPLAY")) return;
#endif
  if (platform::windowOfClassExists("cKELDA")) {
    platform::startThread(update::GameStarter);
  } else {
    platform::startThread(update::UpdateWorker);
  }
}

[[noreturn]] void runLauncher(platform::ImageModule images) {
  // Workers have not started yet: nobody else touches the display values.
  core::resetDisplayState(core::displayState);
#if defined(VLM_TEST_HOOKS)
  applyTestDisplay();
#endif
  platform::loadImageTable(images, ui::kFirstImageId, ui::kImageCount);
  if (!platform::createMainWindow(ui::launcherWindowHandlers()) || !platform::createBackBuffer()) {
    // No window, no worker: an update the player cannot follow or stop is
    // not started. The system's box still tells the player.
    core::debugLog("The launcher window could not be created.");
    platform::showMessageBox("The launcher window could not be created.", "");
    platform::exitProcessNow(1);
  }
  core::setRepaintHandler(platform::repaintMainWindow);
  platform::makeMainWindowLayered();
  platform::setBackgroundBlend(0x01FF0000);
  startWorker();
  platform::runMessageLoop();
  platform::destroyMainWindow();
  // The worker may still be downloading or writing the archives. Ending the
  // process at once stops it where it stands, which the archives and the
  // index (replaced in one step) are made to survive; running the static
  // destructors instead would free the archive set under its feet.
  platform::exitProcessNow(0);
}

}  // namespace

#if defined(_WIN32)
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
  // The words after the program's name, split as the launcher splits every
  // command line (an open quote closes at the end).
  std::vector<std::string> words;
  static_cast<void>(platform::splitWords(commandLine ? commandLine : "", &words));
  update::setRepairAsked(update::asksForRepair(words));
  runLauncher(instance);
}
#else
#include "ui/embedded_bitmaps.h"

int main(int argc, char** argv) {
  update::setRepairAsked(update::asksForRepair(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc)));
  runLauncher(&ui::launcherBitmaps);
}
#endif
