// What the update program does: put the downloaded launcher in place of the
// running one once that has ended.
#pragma once

#include <string>
#include <vector>

#include "update/release_record.h"
#include "update/server_files.h"

namespace update {

// The launcher executable's and the update program's names in their
// directory: the launcher has the name its platform's launcher has on the
// patch server.
constexpr const char* kLauncherExecutableName = thisPlatformFiles().launcher;
#if defined(_WIN32)
constexpr const char* kUpdateProgramName = "KeUpdate.exe";
#else
constexpr const char* kUpdateProgramName = "KeUpdate";
#endif
constexpr const char* kNewLauncherName = "launcher.bin";
constexpr const char* kLauncherBackupSuffix = ".old";
// The update program's own copy of the checked launcher, beside the
// launcher ("start-vlm.new"), which is what it puts in place.
constexpr const char* kLauncherCopySuffix = ".new";
constexpr unsigned kLauncherWaitLimitMs = 30000;

// The command line that starts the update program for a new launcher:
// its name, then the size (decimal) and the SHA-256 (64 lower-case hex
// digits) of the "launcher.bin" that the launcher checked: a keyed
// launcher's from the signed release, else what it hashed right after the
// download. "KeUpdate 1048576 9f86d0...": the update program puts in place
// only a launcher that is exactly that.
std::string updateProgramCommandLine(const FileDigest& checked);
// Reads the update program's arguments (without the program's own name):
// exactly two, a size of 1 to 20 decimal digits that is not 0 and fits in
// 64 bits, and 64 hex digits. False with the reason otherwise.
bool parseUpdateProgramArguments(const std::vector<std::string>& arguments, FileDigest* checked, std::string* why);

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
  kNotChecked,     // launcher.bin is not the launcher that was checked, or
                   // the command line did not say which that was
  kStillRunning,   // the old launcher did not end within the wait
  kFailed,         // the copy, the backup or the rename failed; the old
                   // launcher stays
};

// Replaces directory\<launcher> with the launcher in directory\launcher.bin
// that the launcher checked. Waits at most waitLimitMs for the old launcher
// to end first. Then reads launcher.bin once, at most checked.size + 1
// bytes, and takes it only when it is exactly `checked`: anyone who can
// write the game folder could otherwise put another file there between the
// launcher's check and this program, which runs with the launcher's rights.
// Those very bytes are written to a file of its own (<launcher>.new, never
// through a link) and that file is put in place, so that what runs is what
// was checked, and a whole launcher exists at every moment: the old one is
// copied aside as a backup, the copy renamed into place in one step, then
// the backup and launcher.bin go. On failure the old launcher is left (or
// put back) in place and why says what went wrong.
[[nodiscard]] LauncherReplacement replaceLauncher(const std::string& directory, const FileDigest& checked,
                                                  unsigned waitLimitMs, std::string* why);

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
