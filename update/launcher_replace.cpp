#include "update/launcher_replace.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/clock.h"
#include "platform/file.h"
#include "update/versions.h"

namespace update {

bool waitUntilFileIsFree(const std::string& path, unsigned limitMs) {
  std::int32_t start = platform::clockTicksMs();
  for (;;) {
    if (!platform::pathExists(path.c_str())) return true;
    platform::FileHandle file = platform::openFileForExclusiveUpdate(path.c_str());
    if (file != platform::kNoFile) {
      platform::closeFile(file);
      return true;
    }
    if (static_cast<unsigned>(platform::clockTicksMs() - start) >= limitMs) return false;
    platform::sleepMs(100);
  }
}

// The new file must run: on Linux it needs the execute bits the download
// did not give it.
static void makeExecutable(const std::string& path) {
  std::error_code ignored;
  std::filesystem::permissions(platform::nativePath(path.c_str()),
                               std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                   std::filesystem::perms::group_exec | std::filesystem::perms::others_read |
                                   std::filesystem::perms::others_exec,
                               ignored);
}

LauncherReplacement replaceLauncher(const std::string& directory, unsigned waitLimitMs, std::string* why) {
  const std::string launcher = directory + "\\" + kLauncherExecutableName;
  const std::string fresh = directory + "\\" + kNewLauncherName;
  const std::string backup = launcher + kLauncherBackupSuffix;
  std::string ignored;
  if (!why) why = &ignored;

  std::uint64_t size = 0;
  platform::FileHandle file = platform::openFileForReading(fresh.c_str());
  bool present = file != platform::kNoFile && platform::getFileSize(file, &size);
  platform::closeFile(file);
  if (!present || size == 0) {
    *why = "no new launcher (" + fresh + ") to put in place";
    return LauncherReplacement::kNoNewLauncher;
  }
  if (!waitUntilFileIsFree(launcher, waitLimitMs)) {
    *why = "the launcher (" + launcher + ") is still running";
    return LauncherReplacement::kStillRunning;
  }
  const bool hadLauncher = platform::pathExists(launcher.c_str());
  if (hadLauncher && !platform::copyFileReplacing(launcher.c_str(), backup.c_str())) {
    platform::deleteFile(backup.c_str());
    *why = "cannot keep a backup of the launcher as " + backup;
    return LauncherReplacement::kFailed;
  }
  if (!platform::replaceFileAtomically(fresh.c_str(), launcher.c_str())) {
    // The rename did not happen, so the old launcher is still in place; put
    // the backup back only if it somehow is not.
    if (hadLauncher && !platform::pathExists(launcher.c_str())) {
      platform::replaceFileAtomically(backup.c_str(), launcher.c_str());
    }
    platform::deleteFile(backup.c_str());
    *why = "cannot put " + fresh + " in place of " + launcher;
    return LauncherReplacement::kFailed;
  }
  // After the rename, which gives the file the permissions of the one it
  // replaced (an old launcher may lack the execute bits).
  makeExecutable(launcher);
  if (hadLauncher) platform::deleteFile(backup.c_str());
  return LauncherReplacement::kReplaced;
}

std::string launcherCommandLine(const std::string& directory) {
  return "\"" + directory + "\\" + kLauncherExecutableName + "\"";
}

bool forgetInstalledLauncherVersion() {
  readVersionFile();
  launcherVersions.launcherVersion = 0;
  return writeVersionFile();
}

bool startedAfterFailedSelfUpdate() {
  const char* value = std::getenv(kSelfUpdateFailedVariable);
  return value && std::strcmp(value, "1") == 0;
}

}  // namespace update
