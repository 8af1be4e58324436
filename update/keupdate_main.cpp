// The update program, "KeUpdate.exe" (on Linux "KeUpdate"), which the
// launcher starts right before it ends after downloading a new launcher of
// itself, with the size and SHA-256 of that launcher as it checked it
// (update::updateProgramCommandLine):
//
//   KeUpdate.exe <size in bytes, decimal> <SHA-256, 64 hex digits>
//
// Files it expects in its own directory (the launcher's):
//   "launcher.bin"    the new launcher, as the launcher downloaded it
//   "Start VLM.exe"   the launcher to replace (Linux: "start-vlm")
//   "cver.v"          the version record, rewritten after a failure
// It writes its own copy of the checked launcher as "Start VLM.exe.new"
// (Linux: "start-vlm.new") and "Start VLM.exe.old" (Linux: "start-vlm.old")
// as a backup while it works, and removes the backup and "launcher.bin" once
// the new launcher is in place.
//
// Steps: wait (at most 30 s) until the launcher's process has ended; read
// "launcher.bin" and take it only when it is exactly the launcher that was
// checked (the game folder may be writable by a user, and this program runs
// with the launcher's rights); put those very bytes in place of the launcher
// so that a whole launcher exists at every moment; start the launcher again;
// end. On a failure (missing or malformed arguments, a "launcher.bin" that
// is not the checked one, a file that cannot be written) the old launcher
// stays in place and working, and the reason is printed on standard output.
// The launcher recorded the new version in "cver.v" before it started this
// program; after a failure that record is set back to launcher version 0
// (the client version stays), so the next run of the launcher fetches the
// new one again. The launcher started again after a failure carries
// VLM_SELF_UPDATE_FAILED=1 in its environment and leaves that fetch to the
// next run, so a replacement that fails every time never becomes a loop.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

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

// Replaces the launcher as the arguments ask; without a checked launcher to
// compare with, nothing is replaced (once the old launcher has ended).
static update::LauncherReplacement replaceAsAsked(const std::string& directory,
                                                  const std::vector<std::string>& arguments, std::string* why) {
  update::FileDigest checked;
  if (update::parseUpdateProgramArguments(arguments, &checked, why)) {
    return update::replaceLauncher(directory, checked, update::kLauncherWaitLimitMs, why);
  }
  *why = "its command line does not say which launcher was checked: " + *why;
  const std::string launcher = directory + "\\" + update::kLauncherExecutableName;
  if (!update::waitUntilFileIsFree(launcher, update::kLauncherWaitLimitMs)) {
    *why += "; the launcher (" + launcher + ") is still running";
    return update::LauncherReplacement::kStillRunning;
  }
  return update::LauncherReplacement::kNotChecked;
}

int main(int argc, char** argv) {
  const std::string directory = core::exeDirectory();
  const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string why;
  const update::LauncherReplacement outcome = replaceAsAsked(directory, arguments, &why);
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
