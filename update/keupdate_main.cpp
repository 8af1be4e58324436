// The update program, "KeUpdate.exe" (on Linux "KeUpdate"), which the
// launcher starts without arguments right before it ends after downloading a
// new launcher of itself.
//
// Files it expects in its own directory (the launcher's):
//   "launcher.bin"    the new launcher, as the launcher downloaded it
//   "Start VLM.exe"   the launcher to replace (Linux: "start-vlm")
//   "cver.v"          the version record, rewritten after a failure
// It writes "Start VLM.exe.old" (Linux: "start-vlm.old") as a backup while it
// works and removes it once the new launcher is in place.
//
// Steps: wait (at most 30 s) until the launcher's process has ended; replace
// the launcher with "launcher.bin" so that a whole launcher exists at every
// moment; start the launcher again; end. On a failure the old launcher stays
// in place and working, and the reason is printed on standard output. The
// launcher recorded the new version in "cver.v" before it started this
// program; after a failure that record is set back to launcher version 0
// (the client version stays), so the next run of the launcher fetches the
// new one again. The launcher started again after a failure carries
// VLM_SELF_UPDATE_FAILED=1 in its environment and leaves that fetch to the
// next run, so a replacement that fails every time never becomes a loop.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/paths.h"
#include "platform/process.h"
#include "update/launcher_replace.h"

#if defined(_WIN32)
#include <windows.h>
#endif

// Marks the environment that the launcher started from here inherits.
static void markFailedSelfUpdate() {
#if defined(_WIN32)
  SetEnvironmentVariableA(update::kSelfUpdateFailedVariable, "1");
#else
  setenv(update::kSelfUpdateFailedVariable, "1", 1);
#endif
}

int main() {
  const std::string directory = core::exeDirectory();
  std::string why;
  const update::LauncherReplacement outcome = update::replaceLauncher(directory, update::kLauncherWaitLimitMs, &why);
  const bool replaced = outcome == update::LauncherReplacement::kReplaced;
  if (replaced) {
    std::printf("KeUpdate: the launcher was updated.\n");
  } else {
    std::printf("KeUpdate: the launcher was not updated: %s.\n", why.c_str());
    if (update::forgetInstalledLauncherVersion()) {
      std::printf("KeUpdate: cver.v now records launcher version 0: the next run of the launcher fetches it again.\n");
    } else {
      std::printf("KeUpdate: cver.v could not be written: the launcher will not fetch itself again.\n");
    }
    markFailedSelfUpdate();
  }
  std::fflush(stdout);
  // The old launcher still runs when the wait ran out: a second one is not
  // wanted then. Otherwise the player gets a launcher back either way.
  if (outcome != update::LauncherReplacement::kStillRunning) {
    if (!platform::startProcess(update::launcherCommandLine(directory).c_str())) {
      std::printf("KeUpdate: the launcher could not be started again.\n");
      std::fflush(stdout);
      return 1;
    }
  }
  std::fflush(stdout);
  return replaced ? 0 : 1;
}
