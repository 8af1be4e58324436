#include "archive/patch_apply.h"

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/index_format.h"
#include "archive/install_path.h"
#include "archive/patch_package.h"
#include "archive/storage.h"
#include "core/display_state.h"
#include "core/log.h"
#include "core/status_text.h"
#include "platform/free_space.h"

namespace archive {

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;

DataReader itemReader(const PatchPackage& package, const PatchItem& item) {
  return [&package, &item](std::uint64_t from, void* buffer, std::size_t length) {
    return readPatchItemData(package, item, from, buffer, length);
  };
}

// Writes the item's data as the file at its name, creating the directories
// when missing, in bounded chunks, never through a link. A failure, with the
// system's reason where it gave one, when the file cannot be created or a
// piece cannot be read or written.
platform::Status writeItemFile(const PatchPackage& package, const PatchItem& item) {
  const std::string& name = item.name;
  if (!platform::createDirectoriesOnTheWayNoFollow(name))
    return platform::Status::systemFailure("its directories cannot be created");
  platform::File file(platform::createFileNoFollow(name.c_str()));
  if (!file) return platform::Status::systemFailure("it cannot be created");
  std::vector<unsigned char> buffer(item.dataLength < kCopyChunk ? item.dataLength : kCopyChunk);
  for (std::uint64_t done = 0; done < item.dataLength;) {
    std::size_t length =
        static_cast<std::size_t>(item.dataLength - done < buffer.size() ? item.dataLength - done : buffer.size());
    if (!readPatchItemData(package, item, done, buffer.data(), length))
      return platform::Status::failure("its data cannot be read");
    platform::Status written = platform::writeFileAt(file.get(), done, buffer.data(), length);
    if (!written.ok()) return written;
    done += length;
  }
  // On disk before the index that records the package as applied.
  return platform::flushFileToDisk(file.get());
}

// What a name from a package is to the launcher's own files.
enum class OwnFile {
  kNone,
  kIndex,          // "data.idx" or its temporary twin: the index save writes them
  kUnusedArchive,  // an archive of the set whose file is neither open nor there
  kArchiveInUse,   // an archive of the set that is open, or whose file is there
};

// Compared as namesArchiveSetFile compares, archive by archive. An archive
// that did not open at load but whose file is there counts as in use: it may
// be held by another process, and the index still lists its data.
OwnFile ownFileNamed(const ArchiveSet& set, const std::string& name) {
  if (!namesArchiveSetFile(set, name.c_str())) return OwnFile::kNone;
  if (namesArchiveSetFile(ArchiveSet{}, name.c_str())) return OwnFile::kIndex;
  for (const auto& slot : set.archives) {
    const Archive* archive = slot->archive.get();
    ArchiveSet justThis;
    justThis.archives.push_back(std::make_unique<ArchiveSlot>(ArchiveSlot{slot->name, nullptr}));
    if (archive) justThis.archives.push_back(std::make_unique<ArchiveSlot>(ArchiveSlot{archive->name, nullptr}));
    if (!namesArchiveSetFile(justThis, name.c_str())) continue;
    if (platform::pathExists(slot->name.c_str()) ||
        (archive && (archive->file.isOpen() || platform::pathExists(archive->name.c_str()))))
      return OwnFile::kArchiveInUse;
  }
  return OwnFile::kUnusedArchive;
}

enum class ItemDecision { kRefuse, kSkip, kPerform };

// Types 3 and 4 name files in the installation. A name that leaves it, or
// passes through a link planted in it, fails the item. The launcher's own
// files are skipped: writing or deleting them from a package would cut or
// remove the archives under the index that lists them, and failing instead
// would stop the patch on every run for good. Only a write onto an archive
// in use fails, as it does on Windows. Each refusal and skip is traced; a
// refusal's reason is given in *refusal.
ItemDecision decideNamedItem(std::uint8_t type, const std::string& name, std::string* refusal) {
  const char* text = name.c_str();
  auto refuse = [&](const char* why) {
    *refusal = why;
    core::debugLog("Patch file refused, %s: %s", why, text);
    return ItemDecision::kRefuse;
  };
  if (!isInstallRelativeName(text)) return refuse("its name leaves the installation");
  OwnFile own = ownFileNamed(archiveSet, name);
  if (own == OwnFile::kArchiveInUse && type == 3) return refuse("it would overwrite an archive in use");
  if (own != OwnFile::kNone) {
    core::debugLog("Patch file skipped, the launcher keeps this file itself: %s", text);
    return ItemDecision::kSkip;
  }
  if (platform::nameCrossesLink(text)) return refuse("its name passes through a link");
  return ItemDecision::kPerform;
}

platform::Status performItem(const PatchPackage& package, const PatchItem& item) {
  // Type 1 goes through storeItems; 2, 0, 5 to 255 do nothing.
  if (package.type != 3 && package.type != 4) return platform::Status();
  std::string refusal;
  ItemDecision decision = decideNamedItem(package.type, item.name, &refusal);
  if (decision == ItemDecision::kRefuse) return platform::Status::failure("refused, " + refusal + ": " + item.name);
  if (decision == ItemDecision::kSkip) return platform::Status();
  const char* name = item.name.c_str();
  if (package.type == 3) {
    platform::Status written = writeItemFile(package, item);
    if (written.ok()) return written;
    core::debugLog("Patch file could not be written: %s: %s", name, written.reason().c_str());
    return platform::Status::failure(std::string("could not be written: ") + name + ": " + written.reason());
  }
  // A link planted since the check above is refused here and left alone.
  if (platform::pathExists(name) && !platform::deleteFileNoFollow(name))
    core::debugLog("Patch file could not be deleted: %s", name);
  return platform::Status();
}

// What the window last showed of a package's progress: the status line's
// percentage and the lower bar's value.
struct ShownProgress {
  unsigned line = ~0u;
  std::uint32_t bar = ~0u;
};

// The status line shows the percentage rounded (halves up), the bar the same
// value cut toward zero, so the two can differ by one. The display changes
// only when one of them does: a package of 100,000 small items would
// otherwise take the display's lock (a kernel mutex on Windows, a round trip
// to the Wine server under Wine) and ask for a paint 100,000 times.
void reportProgress(std::size_t done, std::size_t count, ShownProgress& shown) {
  float percent = static_cast<float>(static_cast<double>(done) / static_cast<double>(count) * 100.0);
  unsigned rounded = static_cast<unsigned>(std::floor(percent + 0.5f));
  std::uint32_t bar = static_cast<std::uint32_t>(percent);
  if (rounded == shown.line && bar == shown.bar) return;
  shown.line = rounded;
  shown.bar = bar;
  char line[sizeof core::displayState.statusText];
  std::snprintf(line, sizeof line, "%s%u%%", core::lookupStatusText("PATCH_PROGRESS"), rounded);
  core::updateDisplay([&](core::DisplayState& state) {
    core::setStatusText(state, line);
    state.totalProgressMax = 100;
    state.totalProgress = bar;
  });
}

// The package must not be applied twice: delete it, and if that fails at
// least empty it, so the next run cannot find its items again.
void discardPackageFile(const char* path) {
  if (platform::deleteFile(path) || !platform::pathExists(path)) return;
  platform::File emptied(platform::createFile(path));
}

// Type 1: every item's data goes to the archive set. Small items are
// gathered and written together; each item's progress step follows the
// recording of its entry.
platform::Status storeItems(const PatchPackage& package) {
  std::size_t done = 0;
  ShownProgress shown;
  StoredCallback stored = [&] { reportProgress(++done, package.items.size(), shown); };
  FileBatch batch;
  for (std::size_t i = 0; i < package.items.size(); ++i) {
    const PatchItem& item = package.items[i];
    platform::Status added =
        batchAddFile(archiveSet, batch, item.key, item.dataLength, itemReader(package, item), stored);
    if (!added.ok()) return added.withContext("item " + std::to_string(i) + ": could not be stored in the archives");
  }
  platform::Status flushed = flushFileBatch(archiveSet, batch, stored);
  if (!flushed.ok()) return flushed.withContext("the last items could not be stored in the archives");
  return platform::Status();
}

platform::Status performItems(const PatchPackage& package) {
  if (package.type == 1) return storeItems(package);
  ShownProgress shown;
  for (std::size_t i = 0; i < package.items.size(); ++i) {
    platform::Status performed = performItem(package, package.items[i]);
    if (!performed.ok()) return performed.withContext("item " + std::to_string(i));
    reportProgress(i + 1, package.items.size(), shown);
  }
  return platform::Status();
}

std::uint64_t roundUpToBlocks(std::uint64_t bytes) { return (bytes + kSpaceBlock - 1) / kSpaceBlock * kSpaceBlock; }

// Measures the room on the installation's volume against what the package
// takes; a failure, with *shortage filled, when it is too small.
platform::Status checkRoom(const PatchPackage& package, SpaceShortage* shortage) {
  std::uint64_t needed = spaceToApply(package, archiveSet);
  std::uint64_t available = 0;
  platform::Status measured = platform::freeSpace(".", &available);
  if (!measured.ok()) {
    // The check guards the player against a failure half-way; one that
    // cannot be made must not stop the update, and a disk that fills is
    // still met cleanly by the items.
    core::debugLog("The free disk space could not be learnt: %s; the package is applied without that check.",
                   measured.reason().c_str());
    return platform::Status();
  }
  if (available >= needed) return platform::Status();
  shortage->tooLittle = true;
  shortage->needed = needed;
  shortage->available = available;
  return platform::Status::failure("not enough free disk space: " + std::to_string(needed) + " bytes needed, " +
                                   std::to_string(available) + " free");
}

}  // namespace

std::uint64_t spaceToApply(const PatchPackage& package, const ArchiveSet& set) {
  std::uint64_t data = 0, files = 0;
  for (const PatchItem& item : package.items) {
    data += item.dataLength;
    files += roundUpToBlocks(item.dataLength);
  }
  constexpr std::uint64_t kArchiveRecordLimit = kArchiveNameLengthSize + kMaxArchiveNameLength + kEntryCountSize;
  std::uint64_t indexAfter = indexFileSize(set);
  std::uint64_t items = 0;
  if (package.type == 1) {
    std::uint64_t newArchives = 1 + data / kArchiveSizeLimit;
    items = data + kSpaceBlock * (1 + newArchives);
    indexAfter += package.items.size() * kEntryRecordSize + newArchives * kArchiveRecordLimit;
  } else if (package.type == 3) {
    items = files;
  }
  return items + roundUpToBlocks(indexAfter);
}

PatchOutcome applyPatchPackageWithOutcome(const char* path, SpaceCheck check, SetVersion setVersion) {
  PatchOutcome outcome;
  PatchPackage package;
  // Items are streamed from the package file, so it lives until the last
  // item is done.
  outcome.items = loadPatchPackage(package, path);
  if (outcome.items.ok() && check == SpaceCheck::kBeforeItems) outcome.items = checkRoom(package, &outcome.space);
  if (outcome.items.ok()) outcome.items = performItems(package);
  std::uint16_t version = package.version;
  closePatchPackage(package);
  discardPackageFile(path);
  if (!outcome.items.ok()) {
    core::debugLog("The patch package %s was not applied: %s", path, outcome.items.reason().c_str());
    outcome.indexSaved = platform::Status::failure("not written: the package was not applied");
    return outcome;
  }
  if (setVersion == SetVersion::kFromPackage) archiveSet.baseVersion = version;
  outcome.indexSaved = saveIndex(archiveSet);  // a failure is traced there
  return outcome;
}

bool applyPatchPackage(const char* path) { return applyPatchPackageWithOutcome(path).items.ok(); }

}  // namespace archive
