#include "update/patch_loop.h"

#include <string>

#include "archive/index.h"
#include "archive/patch_apply.h"
#include "core/display_state.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/status_text.h"
#include "platform/file.h"
#include "platform/message_box.h"
#include "update/download.h"
#include "update/rar_extract.h"
#include "update/release_verify.h"
#include "update/space_check.h"
#include "update/versions.h"

namespace update {

std::uint32_t overallPatchPercent(std::uint32_t n, std::uint32_t base, std::uint32_t latest) {
  std::uint32_t done = n - base;
  std::uint32_t total = latest - base;
  float percent = static_cast<float>(static_cast<double>(done) / static_cast<double>(total) * 100.0);
  return static_cast<std::uint32_t>(percent);
}

// The failure box of the loop: the text for key, an empty caption.
static void showFailure(const char* key) { platform::showMessageBox(core::lookupStatusText(key), ""); }

// Fetches "<n>.rar" beside the launcher into *archivePath; false, with the
// failure box shown, when it cannot be had whole and checked.
static bool downloadPatch(std::uint32_t n, core::TextBuffer& path, std::string* archivePath) {
  const std::string directory = core::exeDirectory();
  core::updateDisplay([](core::DisplayState& state) { core::setStatusText(state, core::lookupStatusText("WAIT")); });
  core::withUiLock([](core::DisplayState& state) { core::setStatusText(state, ""); });

  path.format("%s\\%i.rar", directory.c_str(), static_cast<int>(n));
  core::updateDisplay([](core::DisplayState& state) {
    state.fileProgress = 0;
    state.fileProgressMax = 1;
  });
  // A path cut to fit the buffer would name another file: refuse it as a
  // failed download.
  std::string name = core::formatText("%i.rar", static_cast<int>(n));
  const update::FileDigest* expected = nullptr;
  if (path.overflowed || !update::expectedPatch(n, &expected)) {
    showFailure("FAIL_DOWNLOAD");
    return false;
  }
  // With a verified release the patch's size is known before a byte of it
  // comes: a download that could not be extracted and applied is not begun.
  std::uint64_t missing = 0;
  if (expected && !roomFor(("download " + name).c_str(),
                           spaceToFetchPatch(expected->size, archive::indexFileSize(archive::archiveSet)), &missing)) {
    showSpaceFailure(missing);
    return false;
  }
  if (!downloadFromPatchServers(name, path.buffer, expected)) {
    showFailure("FAIL_DOWNLOAD");
    return false;
  }
  *archivePath = path.buffer;
  core::withUiLock([](core::DisplayState& state) { state.fileProgress = 100; });
  return true;
}

// Extracts "<n>.dat" from the archive, then deletes the archive whatever
// happened; false, with the failure box shown, when extraction failed.
static bool extractPatch(std::uint32_t n, const std::string& archivePath) {
  std::string packageName = core::formatText("%i.dat", static_cast<int>(n));
  if (!extractPatchArchive(archivePath.c_str(), packageName.c_str())) {
    showFailure("FAIL_EXTRACT");
    platform::deleteFile(archivePath.c_str());
    return false;
  }
  core::debugLog("%i.rar Extracted successfully.", static_cast<int>(n));
  platform::deleteFile(archivePath.c_str());
  return true;
}

// Applies "<n>.dat" when the archive held one (an archive without it is a
// patch with nothing to do), deletes it and moves the lower bar.
static bool applyPatch(std::uint32_t n, std::uint32_t base, core::TextBuffer& path) {
  const std::string directory = core::exeDirectory();
  std::string packageName = core::formatText("%i.dat", static_cast<int>(n));
  path.format("%s\\%i.dat", directory.c_str(), static_cast<int>(n));
  if (path.overflowed) {
    // The package was written relative to the working directory; it cannot
    // be addressed through the launcher's directory. Stop as for a failed step.
    platform::deleteFile(packageName.c_str());
    showFailure("FAIL_DOWNLOAD");
    return false;
  }
  if (!platform::pathExists(path.buffer)) {
    core::debugLog("File does not exist.");
    return true;
  }
  core::debugLog("Starting update.");
  // The room is measured once the package is loaded, before its first item.
  archive::PatchOutcome outcome = archive::applyPatchPackageWithOutcome(path.buffer, archive::SpaceCheck::kBeforeItems);
  if (!outcome.items.ok()) {
    platform::deleteFile(path.buffer);
    if (outcome.space.tooLittle) {
      // Nothing of the package was applied; the next run fetches it again.
      showSpaceFailure(outcome.space.needed - outcome.space.available);
      return false;
    }
    core::debugLog("Failed to load the patch list.");
    return false;
  }
  std::uint32_t percent = overallPatchPercent(n, base, launcherVersions.latestPatch);
  core::updateDisplay([percent](core::DisplayState& state) {
    state.totalProgressMax = 100;
    state.totalProgress = percent;
  });
  core::debugLog("Patch progress : %i", static_cast<int>(percent));
  platform::deleteFile(path.buffer);
  return true;
}

// Handles one number: download, extract, apply; false when the loop must stop.
static bool handlePatch(std::uint32_t n, std::uint32_t base, core::TextBuffer& path) {
  std::string archivePath;
  return downloadPatch(n, path, &archivePath) && extractPatch(n, archivePath) && applyPatch(n, base, path);
}

bool runPatchLoop(std::uint32_t first) {
  core::TextBuffer path;
  const std::uint32_t base = first - 1;
  core::withUiLock([](core::DisplayState& state) {
    state.fileProgressMax = 1;
    state.fileProgress = 0;
  });
  if (base >= launcherVersions.latestPatch) return true;
  for (std::uint32_t n = first;; ++n) {
    if (!handlePatch(n, base, path)) return false;
    if (n >= launcherVersions.latestPatch) break;
  }
  return true;
}

}  // namespace update
