#include "update/launcher_replace.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/clock.h"
#include "platform/crypto.h"
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

std::string updateProgramCommandLine(const FileDigest& checked) {
  return std::string(kUpdateProgramName) + " " + std::to_string(checked.size) + " " +
         toHex(checked.sha256.data(), checked.sha256.size());
}

bool parseUpdateProgramArguments(const std::vector<std::string>& arguments, FileDigest* checked, std::string* why) {
  if (arguments.size() != 2) {
    *why = std::to_string(arguments.size()) + " arguments, expected the size and SHA-256 of the checked launcher";
    return false;
  }
  const std::string& size = arguments[0];
  const std::string& hash = arguments[1];
  std::uint64_t value = 0;
  bool digits = !size.empty() && size.size() <= 20;
  for (char c : size) {
    if (!digits) break;
    const auto digit = static_cast<unsigned>(c - '0');
    digits = c >= '0' && c <= '9' && value <= (UINT64_MAX - digit) / 10;
    value = value * 10 + digit;
  }
  if (!digits || value == 0) {
    *why = "the size \"" + size.substr(0, 32) + "\" is not a whole number of bytes above 0";
    return false;
  }
  std::vector<unsigned char> bytes;
  if (hash.size() != 64 || !fromHex(hash, &bytes)) {
    *why = "the SHA-256 \"" + hash.substr(0, 80) + "\" is not 64 hex digits";
    return false;
  }
  checked->size = value;
  std::copy(bytes.begin(), bytes.end(), checked->sha256.begin());
  return true;
}

namespace {

// Reads the file at path whole when it is exactly `checked`: at most one
// byte more than that is read, so a longer file costs no more.
LauncherReplacement readCheckedLauncher(const std::string& path, const FileDigest& checked, std::string* bytes,
                                        std::string* why) {
  platform::File file(platform::openFileForReading(path.c_str()));
  if (!file) {
    *why = "no new launcher (" + path + ") to put in place";
    return LauncherReplacement::kNoNewLauncher;
  }
  const std::uint64_t limit = checked.size + 1;
  std::vector<char> piece(1 << 20);
  bytes->clear();
  while (bytes->size() < limit) {
    const std::uint64_t left = limit - bytes->size();
    const std::int64_t got = platform::readFileAt(
        file.get(), bytes->size(), piece.data(), static_cast<std::size_t>(std::min<std::uint64_t>(left, piece.size())));
    if (got < 0) {
      *why = "cannot read " + path;
      return LauncherReplacement::kFailed;
    }
    if (got == 0) break;
    bytes->append(piece.data(), static_cast<std::size_t>(got));
  }
  if (bytes->empty()) {
    *why = "no new launcher (" + path + " is empty) to put in place";
    return LauncherReplacement::kNoNewLauncher;
  }
  if (bytes->size() != checked.size) {
    *why = path + " is " +
           (bytes->size() > checked.size ? "longer than" : std::to_string(bytes->size()) + " bytes, not") + " the " +
           std::to_string(checked.size) + " bytes of the launcher that was checked";
    return LauncherReplacement::kNotChecked;
  }
  Sha256Digest digest;
  if (!platform::sha256Of(bytes->data(), bytes->size(), digest.data())) {
    *why = "the system's hash failed";
    return LauncherReplacement::kFailed;
  }
  if (digest != checked.sha256) {
    *why = path + " has the SHA-256 " + toHex(digest.data(), digest.size()) + ", not the checked launcher's " +
           toHex(checked.sha256.data(), checked.sha256.size());
    return LauncherReplacement::kNotChecked;
  }
  return LauncherReplacement::kReplaced;
}

// Writes bytes to a new file at path, never through a link planted there:
// whatever has the name goes first (a link itself, not what it points to),
// and a link planted again in between makes the file fail to be made.
bool writeCopy(const std::string& path, const std::string& bytes) {
  platform::deleteFile(path.c_str());
  platform::File file(platform::createFileNoFollow(path.c_str()));
  return file && platform::writeFileAt(file.get(), 0, bytes.data(), bytes.size()) &&
         platform::flushFileToDisk(file.get());
}

}  // namespace

LauncherReplacement replaceLauncher(const std::string& directory, const FileDigest& checked, unsigned waitLimitMs,
                                    std::string* why) {
  const std::string launcher = directory + "\\" + kLauncherExecutableName;
  const std::string fresh = directory + "\\" + kNewLauncherName;
  const std::string copy = launcher + kLauncherCopySuffix;
  const std::string backup = launcher + kLauncherBackupSuffix;
  std::string ignored;
  if (!why) why = &ignored;

  if (!waitUntilFileIsFree(launcher, waitLimitMs)) {
    *why = "the launcher (" + launcher + ") is still running";
    return LauncherReplacement::kStillRunning;
  }
  std::string bytes;
  const LauncherReplacement read = readCheckedLauncher(fresh, checked, &bytes, why);
  if (read != LauncherReplacement::kReplaced) return read;
  if (!writeCopy(copy, bytes)) {
    platform::deleteFileNoFollow(copy.c_str());
    *why = "cannot write the checked launcher to " + copy;
    return LauncherReplacement::kFailed;
  }
  // The copy was made as a plain file: on Linux it needs the execute bits.
  const platform::Status runnable = platform::makeRunnable(copy.c_str());
  if (!runnable.ok()) {
    platform::deleteFileNoFollow(copy.c_str());
    *why = runnable.reason();
    return LauncherReplacement::kFailed;
  }
  const bool hadLauncher = platform::pathExists(launcher.c_str());
  // Whatever has the backup's name goes first: a link planted there is
  // removed itself, never written through.
  platform::deleteFile(backup.c_str());
  if (hadLauncher && !platform::copyFileReplacing(launcher.c_str(), backup.c_str())) {
    platform::deleteFile(backup.c_str());
    platform::deleteFileNoFollow(copy.c_str());
    *why = "cannot keep a backup of the launcher as " + backup;
    return LauncherReplacement::kFailed;
  }
  if (!platform::replaceFileAtomically(copy.c_str(), launcher.c_str())) {
    // The rename did not happen, so the old launcher is still in place; put
    // the backup back only if it somehow is not.
    if (hadLauncher && !platform::pathExists(launcher.c_str())) {
      platform::replaceFileAtomically(backup.c_str(), launcher.c_str());
    }
    platform::deleteFile(backup.c_str());
    platform::deleteFileNoFollow(copy.c_str());
    *why = "cannot put " + copy + " in place of " + launcher;
    return LauncherReplacement::kFailed;
  }
  // The rename gave the copy the old launcher's mode, which may lack the
  // execute bits the copy had. Only a file swapped in at the name since can
  // refuse them, and starting the launcher again then fails visibly.
  static_cast<void>(platform::makeRunnable(launcher.c_str()));
  if (hadLauncher) platform::deleteFile(backup.c_str());
  platform::deleteFile(fresh.c_str());
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
