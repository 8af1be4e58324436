#include "archive/patch_apply.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include "archive/index.h"
#include "archive/install_path.h"
#include "archive/patch_package.h"
#include "archive/storage.h"
#include "core/display_state.h"
#include "core/paths.h"
#include "core/status_text.h"

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

DataReader itemReader(const PatchPackage& package, const PatchItem& item) {
  return [&package, &item](std::uint64_t from, void* buffer, std::size_t length) {
    return readPatchItemData(package, item, from, buffer, length);
  };
}

// Writes the item's data as the file at its name, creating the directory
// when missing, in bounded chunks. False when the file cannot be created or
// a piece cannot be read or written.
bool writeItemFile(const PatchPackage& package, const PatchItem& item) {
  const std::string& name = item.name;
  if (name.find_last_of("\\/") != std::string::npos) {
    std::string directory = directoryOfPath(name);
    if (!directory.empty() && !platform::isDirectory(directory.c_str())) createDirectories(directory.c_str());
  }
  platform::FileHandle file = platform::createFile(name.c_str());
  if (file == platform::kNoFile) return false;
  std::vector<unsigned char> buffer(item.dataLength < kCopyChunk ? item.dataLength : kCopyChunk);
  bool ok = true;
  for (std::uint64_t done = 0; ok && done < item.dataLength;) {
    std::size_t length =
        static_cast<std::size_t>(item.dataLength - done < buffer.size() ? item.dataLength - done : buffer.size());
    ok = readPatchItemData(package, item, done, buffer.data(), length) &&
         platform::writeFileAt(file, done, buffer.data(), length);
    done += length;
  }
  // On disk before the index that records the package as applied.
  ok = ok && platform::flushFileToDisk(file);
  platform::closeFile(file);
  return ok;
}

bool performItem(const PatchPackage& package, const PatchItem& item) {
  switch (package.type) {
    case 3:
      return isInstallRelativeName(item.name.c_str()) && !namesArchiveSetFile(archiveSet, item.name.c_str()) &&
             writeItemFile(package, item);
    case 4:
      if (!isInstallRelativeName(item.name.c_str()) || namesArchiveSetFile(archiveSet, item.name.c_str())) return false;
      if (platform::pathExists(item.name.c_str())) platform::deleteFile(item.name.c_str());
      return true;
    default:
      return true;  // types 2, 0 and 5 to 255 carry data that nothing uses; type 1 goes through storeItems
  }
}

// The status line shows the percentage rounded (halves up), the bar the same
// value cut toward zero, so the two can differ by one.
void reportProgress(std::size_t done, std::size_t count) {
  float percent = static_cast<float>(static_cast<double>(done) / static_cast<double>(count) * 100.0);
  char line[sizeof displayState.statusText];
  std::snprintf(line, sizeof line, "%s%u%%", lookupStatusText("PATCH_PROGRESS"),
                static_cast<unsigned>(std::floor(percent + 0.5f)));
  updateDisplay([&](DisplayState& state) {
    setStatusText(state, line);
    state.totalProgressMax = 100;
    state.totalProgress = static_cast<std::uint32_t>(percent);
  });
}

// The package must not be applied twice: delete it, and if that fails at
// least empty it, so the next run cannot find its items again.
void discardPackageFile(const char* path) {
  if (platform::deleteFile(path) || !platform::pathExists(path)) return;
  platform::closeFile(platform::createFile(path));
}

// Type 1: every item's data goes to the archive set. Small items are
// gathered and written together; each item's progress step follows the
// recording of its entry.
bool storeItems(const PatchPackage& package) {
  std::size_t done = 0;
  StoredCallback stored = [&] { reportProgress(++done, package.items.size()); };
  FileBatch batch;
  for (const PatchItem& item : package.items) {
    if (!batchAddFile(archiveSet, batch, item.key, item.dataLength, itemReader(package, item), stored)) return false;
  }
  return flushFileBatch(archiveSet, batch, stored);
}

bool performItems(const PatchPackage& package) {
  if (package.type == 1) return storeItems(package);
  for (std::size_t i = 0; i < package.items.size(); ++i) {
    if (!performItem(package, package.items[i])) return false;
    reportProgress(i + 1, package.items.size());
  }
  return true;
}

}  // namespace

bool applyPatchPackage(const char* path) {
  PatchPackage package;
  // Items are streamed from the package file, so it lives until the last
  // item is done.
  bool ok = loadPatchPackage(package, path) && performItems(package);
  std::uint16_t version = package.version;
  closePatchPackage(package);
  discardPackageFile(path);
  if (!ok) return false;
  archiveSet.baseVersion = version;
  saveIndex(archiveSet);
  return true;
}
