#include "archive/storage.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "core/log.h"

namespace archive {

using platform::Status;

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;
constexpr std::uint64_t kAddressable = std::uint64_t{1} << 32;  // offsets and sizes are 32-bit
// Removed entries are dropped once they make up half of a large list, so
// marks never cost more memory than the list itself.
constexpr std::size_t kCompactAfter = 4096;
constexpr const char* kNoArchiveTakesIt = "no archive has room and no new one could be created";

// Whether an archive file `current` bytes long (kUnknownArchiveSize when it
// cannot be measured) takes size more bytes: the one room rule for choosing
// an archive.
bool archiveHasRoom(std::uint64_t current, std::uint32_t size) {
  return current != kUnknownArchiveSize && current + size <= kArchiveSizeLimit;
}

// Whether size bytes written at `end` stay where a 32-bit offset reaches.
bool addressable(std::uint64_t end, std::uint64_t size) {
  return end != kUnknownArchiveSize && end + size <= kAddressable;
}

// The first archive in set order with room for size more bytes, each
// archive's size as `sizeOf` counts it.
template <typename SizeOf>
ArchiveSlot* firstArchiveWithRoom(ArchiveSet& set, std::uint32_t size, SizeOf sizeOf) {
  for (auto& slot : set.archives) {
    if (archiveHasRoom(sizeOf(*slot), size)) return slot.get();
  }
  return nullptr;
}

long positionOf(const ArchiveSet& set, const Archive& archive) {
  for (std::size_t i = 0; i < set.archives.size(); ++i) {
    if (set.archives[i]->archive.get() == &archive) return static_cast<long>(i);
  }
  return -1;
}

// Windows file names ignore case, so two names that differ only in case
// are one file.
bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x = static_cast<unsigned char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<unsigned char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

bool nameInSet(const ArchiveSet& set, const std::string& name) {
  for (const auto& slot : set.archives) {
    if (sameName(slot->name, name) || sameName(slot->archive->name, name)) return true;
  }
  return false;
}

// Whether archive `position` lists key among its live entries.
bool archiveHoldsKey(const ArchiveSet& set, std::uint32_t position, std::uint32_t key) {
  EntryLocation first;
  if (!keyMapFind(set.keyIndex, key, &first)) return false;
  if (first.archive == position) return true;
  if (first.archive > position || set.duplicatedKeys.count(key) == 0) return false;
  const Archive& archive = *set.archives[position]->archive;
  for (std::size_t n = 0; n < archive.entries.size(); ++n) {
    if (archive.entries[n].key == key && !isRemoved(archive, n)) return true;
  }
  return false;
}

// Writes the data at the archive's end; on success tells where it went.
Status writeAtEnd(Archive& archive, std::uint32_t size, const DataReader& read, std::uint32_t* offset) {
  if (!archive.file) return Status::failure(archive.name + " is not open");
  std::uint64_t end = archiveFileSize(archive);
  if (!addressable(end, size)) return Status::failure(archive.name + ": the data would lie past 4 GiB");
  std::vector<unsigned char> buffer(size < kCopyChunk ? size : kCopyChunk);
  for (std::uint64_t done = 0; done < size;) {
    std::size_t length = static_cast<std::size_t>(size - done < buffer.size() ? size - done : buffer.size());
    Status written = read(done, buffer.data(), length)
                         ? platform::writeFileAt(archive.file.get(), end + done, buffer.data(), length)
                               .withContext(archive.name + " cannot be written")
                         : Status::failure("the data cannot be read");
    if (!written.ok()) {
      archive.sizeKnown = false;  // part of it may have landed; measure again next time
      return written;
    }
    done += length;
  }
  archive.knownSize = end + size;
  archive.unflushed = true;
  *offset = static_cast<std::uint32_t>(end);
  return Status();
}

// Records a new entry at the end of archive `position`'s list, unless that
// list already holds the key (only possible with a duplicated key).
void recordEntry(ArchiveSet& set, std::uint32_t position, std::uint32_t key, std::uint32_t offset, std::uint32_t size) {
  if (archiveHoldsKey(set, position, key)) return;
  Archive& archive = *set.archives[position]->archive;
  archive.removed.resize(archive.entries.size(), 0);
  EntryLocation added{position, static_cast<std::uint32_t>(archive.entries.size())};
  archive.entries.push_back(FileEntry{key, offset, size});
  archive.removed.push_back(0);
  EntryLocation first;
  if (!keyMapFind(set.keyIndex, key, &first)) {
    keyMapSet(set.keyIndex, key, added);
    return;
  }
  set.duplicatedKeys.insert(key);
  if (added.archive < first.archive) keyMapSet(set.keyIndex, key, added);
}

// Finds the next live entry of a duplicated key after its removed first one.
void relocateDuplicate(ArchiveSet& set, std::uint32_t key, EntryLocation from) {
  std::size_t found = 0;
  for (std::size_t a = from.archive; a < set.archives.size(); ++a) {
    const Archive& archive = *set.archives[a]->archive;
    std::size_t start = a == from.archive ? from.entry + 1 : 0;
    for (std::size_t n = start; n < archive.entries.size(); ++n) {
      if (archive.entries[n].key != key || isRemoved(archive, n)) continue;
      if (found++ == 0)
        keyMapSet(set.keyIndex, key, EntryLocation{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(n)});
    }
  }
  if (found <= 1) set.duplicatedKeys.erase(key);
}

// Drops an archive's removed entries, keeping order, once they are many.
void compactIfWorthIt(ArchiveSet& set, std::uint32_t position) {
  const Archive& archive = *set.archives[position]->archive;
  if (archive.removedCount < kCompactAfter || archive.removedCount * 2 < archive.entries.size()) return;
  compactArchiveAt(set, position);
}

DataReader bufferReader(const std::uint8_t* data) {
  return [data](std::uint64_t from, void* buffer, std::size_t length) {
    std::memcpy(buffer, data + from, length);
    return true;
  };
}

}  // namespace

std::uint64_t archiveFileSize(Archive& archive) {
  if (!archive.sizeKnown) {
    std::uint64_t size = 0;
    if (!platform::getFileSize(archive.file.get(), &size)) return kUnknownArchiveSize;
    archive.knownSize = size;
    archive.sizeKnown = true;
  }
  return archive.knownSize;
}

ArchiveSlot* findArchiveWithRoom(ArchiveSet& set, std::uint32_t size) {
  return firstArchiveWithRoom(set, size, [](ArchiveSlot& slot) { return archiveFileSize(*slot.archive); });
}

std::string newArchiveName(const ArchiveSet& set) {
  for (unsigned number = set.archiveCount;; ++number) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%s%i.VFS", "GA", "ME", static_cast<int>(number));
    if (!nameInSet(set, name)) return name;
  }
}

ArchiveSlot* createArchive(ArchiveSet& set, const std::string& name) {
  if (set.archives.size() >= kMaxArchives || name.empty() || name.size() > kMaxArchiveNameLength ||
      name.find('\0') != std::string::npos || nameInSet(set, name))
    return nullptr;
  // One step from creation to holding: a file of this name that another
  // launcher or tool holds as its own new archive is never cut.
  platform::FileHandle file = platform::createArchiveFile(name.c_str());
  if (file == platform::kNoFile) {
    core::debugLog("Cannot create the archive %s: it is held elsewhere, is a link or cannot be written.", name.c_str());
    return nullptr;
  }

  auto slot = std::make_unique<ArchiveSlot>();
  slot->name = name;
  slot->archive = std::make_unique<Archive>();
  slot->archive->name = name;
  slot->archive->file.reset(file);
  slot->archive->knownSize = 0;
  slot->archive->sizeKnown = true;
  slot->archive->unflushed = true;  // its directory entry must reach the disk before an index names it
  set.archives.push_back(std::move(slot));
  set.archiveCount = static_cast<std::uint8_t>(set.archives.size());
  return set.archives.back().get();
}

bool removeEntryByKey(ArchiveSet& set, std::uint32_t key) {
  EntryLocation location;
  if (!keyMapFind(set.keyIndex, key, &location)) return false;
  Archive& archive = *set.archives[location.archive]->archive;
  archive.removed.resize(archive.entries.size(), 0);
  archive.removed[location.entry] = 1;
  ++archive.removedCount;
  keyMapErase(set.keyIndex, key);
  if (set.duplicatedKeys.count(key)) relocateDuplicate(set, key, location);
  compactIfWorthIt(set, location.archive);
  return true;
}

Status appendFromReader(ArchiveSet& set, Archive& archive, std::uint32_t key, std::uint32_t size,
                        const DataReader& read) {
  long position = positionOf(set, archive);
  if (position < 0) return Status::failure(archive.name + " is not in the set");
  std::uint32_t offset = 0;
  Status written = writeAtEnd(archive, size, read, &offset);
  if (!written.ok()) return written;
  recordEntry(set, static_cast<std::uint32_t>(position), key, offset, size);
  return Status();
}

Status appendToArchive(ArchiveSet& set, Archive& archive, std::uint32_t key, std::unique_ptr<std::uint8_t[]> data,
                       std::uint32_t size) {
  if (!data) return Status::failure("no data");
  return appendFromReader(set, archive, key, size, bufferReader(data.get()));
}

Status addFileFromReader(ArchiveSet& set, std::uint32_t key, std::uint32_t size, const DataReader& read) {
  ArchiveSlot* slot = findArchiveWithRoom(set, size);
  if (!slot) slot = createArchive(set, newArchiveName(set));
  if (!slot) return Status::failure(kNoArchiveTakesIt);
  long position = positionOf(set, *slot->archive);
  std::uint32_t offset = 0;
  // The old entry goes only once the new bytes are in place, so a failed
  // write leaves the key where it was.
  Status written = writeAtEnd(*slot->archive, size, read, &offset);
  if (!written.ok()) return written;
  removeEntryByKey(set, key);
  recordEntry(set, static_cast<std::uint32_t>(position), key, offset, size);
  return Status();
}

Status addFile(std::uint32_t key, std::unique_ptr<std::uint8_t[]> data, std::uint32_t size) {
  if (!data) return Status::failure("no data");
  return addFileFromReader(archiveSet, key, size, bufferReader(data.get()));
}

std::uint64_t FileBatch::countedSize(ArchiveSlot& archive) const {
  return &archive == slot ? end() : archiveFileSize(*archive.archive);
}

bool FileBatch::canJoin(const ArchiveSlot* target, std::uint32_t size) const {
  return target && target == slot && bytes.size() + size <= kBatchBytes && addressable(end(), size);
}

void FileBatch::clear() {
  slot = nullptr;
  start = 0;
  bytes.clear();
  files.clear();
}

Status flushFileBatch(ArchiveSet& set, FileBatch& batch, const StoredCallback& stored) {
  if (batch.files.empty()) {
    batch.clear();
    return Status();
  }
  Archive& archive = *batch.slot->archive;
  long position = positionOf(set, archive);
  Status written;
  if (position < 0) {
    written = Status::failure(archive.name + " is not in the set");
  } else if (!batch.bytes.empty()) {
    written = platform::writeFileAt(archive.file.get(), batch.start, batch.bytes.data(), batch.bytes.size())
                  .withContext(archive.name + " cannot be written");
  }
  if (!written.ok()) {
    archive.sizeKnown = false;  // part of it may have landed; measure again next time
    batch.clear();
    return written;
  }
  archive.knownSize = batch.start + batch.bytes.size();
  archive.unflushed = true;
  for (const FileEntry& file : batch.files) {
    removeEntryByKey(set, file.key);
    recordEntry(set, static_cast<std::uint32_t>(position), file.key, file.offset, file.size);
    if (stored) stored();
  }
  batch.clear();
  return Status();
}

Status batchAddFile(ArchiveSet& set, FileBatch& batch, std::uint32_t key, std::uint32_t size, const DataReader& read,
                    const StoredCallback& stored) {
  if (size > kBatchedFileLimit) {
    Status done = flushFileBatch(set, batch, stored);
    if (done.ok()) done = addFileFromReader(set, key, size, read);
    if (!done.ok()) return done;
    if (stored) stored();
    return Status();
  }
  ArchiveSlot* slot =
      firstArchiveWithRoom(set, size, [&batch](ArchiveSlot& candidate) { return batch.countedSize(candidate); });
  if (!batch.canJoin(slot, size)) {
    Status flushed = flushFileBatch(set, batch, stored);
    if (!flushed.ok()) return flushed;
    if (!slot) slot = createArchive(set, newArchiveName(set));
    if (!slot) return Status::failure(kNoArchiveTakesIt);
    if (!slot->archive->file) return Status::failure(slot->archive->name + " is not open");
    std::uint64_t end = archiveFileSize(*slot->archive);
    if (!addressable(end, size)) return Status::failure(slot->archive->name + ": the data would lie past 4 GiB");
    batch.slot = slot;
    batch.start = end;
  }
  std::size_t at = batch.bytes.size();
  batch.bytes.resize(at + size);
  if (size > 0 && !read(0, batch.bytes.data() + at, size)) {
    batch.bytes.resize(at);
    // The files before this one are stored as addFile would have; this
    // one's failure is the one to tell.
    static_cast<void>(flushFileBatch(set, batch, stored));
    return Status::failure("the data cannot be read");
  }
  batch.files.push_back(FileEntry{key, static_cast<std::uint32_t>(batch.start + at), size});
  return Status();
}

}  // namespace archive
