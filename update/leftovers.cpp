#include "update/leftovers.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "archive/index.h"
#include "core/log.h"
#include "core/paths.h"
#include "platform/file.h"
#include "update/download.h"
#include "update/launcher_replace.h"
#include "update/release_check.h"
#include "update/server_files.h"
#include "update/versions.h"

namespace update {

namespace {

std::string besideLauncher(const std::string& name) { return core::exeDirectory() + "\\" + name; }

// An archive of the set that exists but could not be opened is held by
// another program: the launcher and vlm-patch hold them exclusively.
bool archiveHeldElsewhere() {
  for (const auto& slot : archive::archiveSet.archives) {
    const archive::Archive& archive = *slot->archive;
    if (!archive.file && platform::pathExists(archive.name.c_str())) return true;
  }
  return false;
}

// Removes one leftover found at path, named in the trace by name.
void removeLeftover(const std::string& path, const std::string& name) {
  if (!platform::pathExists(path.c_str())) return;
  if (platform::deleteFile(path.c_str())) {
    core::debugLog("Removed %s, left by an earlier run.", name.c_str());
  } else {
    core::debugLog("Could not remove %s, left by an earlier run.", name.c_str());
  }
}

// The names in directory that a rule accepts. A name is looked at without
// converting it: one that the rules accept is plain ASCII, and any other is
// passed over.
std::vector<std::string> namesIn(const std::string& directory, bool (*accepts)(const std::string&)) {
  std::vector<std::string> names;
  std::error_code failed;
  std::filesystem::directory_iterator entry(platform::nativePath(directory.c_str()), failed);
  for (; !failed && entry != std::filesystem::directory_iterator(); entry.increment(failed)) {
    const std::filesystem::path leaf = entry->path().filename();
    std::string name;
    bool plain = true;
    for (auto c : leaf.native()) {
      auto code = static_cast<unsigned long>(c);
      if (code == 0 || code >= 0x7F) {
        plain = false;
        break;
      }
      name += static_cast<char>(code);
    }
    if (plain && accepts(name)) names.push_back(name);
  }
  return names;
}

bool endsWith(const std::string& name, const std::string& suffix) {
  return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Whether text is a number as "%u" writes it.
bool isUnsignedAsWritten(const std::string& text) {
  if (text.empty() || text.size() > 10 || (text[0] == '0' && text.size() > 1)) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return text.size() < 10 || text <= "4294967295";
}

}  // namespace

bool isReleaseBlockLeftoverName(const std::string& name) {
  const std::string prefix = "release-";
  const std::string block = ".blk";
  const std::string part = block + kPartialDownloadSuffix;
  const std::size_t suffix = endsWith(name, part) ? part.size() : endsWith(name, block) ? block.size() : 0;
  if (suffix == 0 || name.size() < prefix.size() + suffix || name.compare(0, prefix.size(), prefix) != 0) return false;
  return isUnsignedAsWritten(name.substr(prefix.size(), name.size() - prefix.size() - suffix));
}

bool isPatchArchivePartName(const std::string& name) {
  const std::string suffix = std::string(".rar") + kPartialDownloadSuffix;
  if (name.size() <= suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
    return false;
  }
  std::size_t first = name[0] == '-' ? 1 : 0;
  std::size_t digits = name.size() - suffix.size() - first;
  if (digits < 1 || digits > 10) return false;
  for (std::size_t i = first; i < first + digits; ++i) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  return true;
}

void removeLeftoversOfEarlierRuns() {
  if (archiveHeldElsewhere()) {
    core::debugLog("Another program holds the game archives: files left by an earlier run stay where they are.");
    return;
  }
  // The patch list and the index are written relative to the working
  // directory, the other files beside the launcher.
  const std::string patchListPart = std::string(archive::kPatchListFileName) + kPartialDownloadSuffix;
  removeLeftover(patchListPart, patchListPart);
  removeLeftover(archive::kIndexTempFileName, archive::kIndexTempFileName);
  std::vector<std::string> besideNames = {std::string(kNewLauncherName) + kPartialDownloadSuffix,
                                          std::string(kNewClientName) + kPartialDownloadSuffix, kNewClientName,
                                          kVersionFileTempName, kSequenceFileTempName};
  for (const PlatformFiles& files : kPlatformFiles) {
    besideNames.push_back(files.record);
    besideNames.push_back(std::string(files.record) + kPartialDownloadSuffix);
  }
  for (const std::string& name : namesIn(core::exeDirectory(), isPatchArchivePartName)) besideNames.push_back(name);
  for (const std::string& name : namesIn(core::exeDirectory(), isReleaseBlockLeftoverName)) besideNames.push_back(name);
  for (const std::string& name : besideNames) removeLeftover(besideLauncher(name), name);

  // A running update program may still be waiting to put the new launcher
  // in place (a running executable cannot be opened for writing).
  const std::string forUpdateProgram[] = {kNewLauncherName, std::string(kLauncherExecutableName) + kLauncherCopySuffix};
  if (!waitUntilFileIsFree(besideLauncher(kUpdateProgramName), 0)) {
    for (const std::string& name : forUpdateProgram) {
      if (platform::pathExists(besideLauncher(name).c_str())) {
        core::debugLog("%s stays: the update program is running.", name.c_str());
      }
    }
    return;
  }
  for (const std::string& name : forUpdateProgram) removeLeftover(besideLauncher(name), name);
}

}  // namespace update
