// What the update program does: put the downloaded launcher in place of the
// running one once that has ended.
#pragma once

#include <string>

namespace update {

// The launcher executable's and the update program's names in their
// directory.
#if defined(_WIN32)
constexpr const char* kLauncherExecutableName = "Start VLM.exe";
constexpr const char* kUpdateProgramName = "KeUpdate.exe";
#else
constexpr const char* kLauncherExecutableName = "start-vlm";
constexpr const char* kUpdateProgramName = "KeUpdate";
#endif
constexpr const char* kNewLauncherName = "launcher.bin";
constexpr const char* kLauncherBackupSuffix = ".old";
constexpr unsigned kLauncherWaitLimitMs = 30000;

// Waits until no process runs the file at path (it can be opened for
// writing; a running image refuses that on both systems), at most limitMs.
// True when it is free or does not exist.
bool waitUntilFileIsFree(const std::string& path, unsigned limitMs);

// How a replacement ended. The update program starts a launcher again after
// every outcome but kStillRunning: the old launcher still runs then, and a
// second one is not wanted.
enum class LauncherReplacement {
  kReplaced,
  kNoNewLauncher,  // launcher.bin is missing or empty
  kStillRunning,   // the old launcher did not end within the wait
  kFailed,         // the backup or the rename failed; the old launcher stays
};

// Replaces directory\<launcher> with directory\launcher.bin so that a whole
// launcher exists at every moment: the old one is copied aside as a backup,
// the new one is renamed into place in one step, then the backup goes. On
// failure the old launcher is left (or put back) in place and why says what
// went wrong. Waits at most waitLimitMs for the old launcher to end first.
[[nodiscard]] LauncherReplacement replaceLauncher(const std::string& directory, unsigned waitLimitMs, std::string* why);

// The command line that starts the launcher in directory again.
std::string launcherCommandLine(const std::string& directory);

// After a failed replacement: records launcher version 0 in "cver.v" (the
// client version stays), so that the next run of the launcher fetches the
// new launcher again. False when "cver.v" could not be written.
bool forgetInstalledLauncherVersion();

// The update program sets this variable (to "1") in the environment of the
// launcher it starts again after a failed replacement. That launcher then
// leaves the self-update to the next run instead of fetching the launcher
// at once: a replacement that fails every time (a launcher file that cannot
// be replaced, an empty file on the server) must not become an endless
// round of downloads and restarts.
constexpr const char* kSelfUpdateFailedVariable = "VLM_SELF_UPDATE_FAILED";

// Whether this process was started by the update program after a failed
// replacement.
bool startedAfterFailedSelfUpdate();

}  // namespace update
