#include "archive/index.h"

#include <cstring>
#include <string>

#include "archive/byte_order.h"
#include "archive/file_reader.h"
#include "archive/index_format.h"
#include "core/log.h"
#include "platform/memory.h"

namespace archive {

ArchiveSet archiveSet;
bool indexLoaded = false;
std::uint32_t installedVersion = 0;

namespace {

constexpr std::size_t kSaveChunk = 1 << 20;

using platform::Status;

// Reads the E entry records of one archive; the count was checked against
// what the file holds before anything was allocated for it.
Status parseEntries(FileReader& reader, std::int32_t entryCount, Archive& archive) {
  std::uint64_t need = static_cast<std::uint64_t>(entryCount) * kEntryRecordSize;
  if (need > bytesLeft(reader)) {
    return Status::failure(std::to_string(entryCount) + " entries need " + std::to_string(need) + " bytes, " +
                           std::to_string(bytesLeft(reader)) + " are left");
  }
  std::size_t count = static_cast<std::size_t>(entryCount);
  platform::reserveLarge(archive.entries, count);
  // Records are read a batch at a time: an index holds a million of them.
  constexpr std::size_t kBatch = 1024;
  unsigned char batch[kBatch][kEntryRecordSize];
  for (std::size_t n = 0; n < count; n += kBatch) {
    std::size_t records = count - n < kBatch ? count - n : kBatch;
    Status read = readPart(reader, batch, records * kEntryRecordSize, "the entry records");
    if (!read.ok()) return read.withContext("entry " + std::to_string(n));
    for (std::size_t r = 0; r < records; ++r) archive.entries.push_back(decodeEntryRecord(batch[r], n + r));
  }
  platform::reserveLarge(archive.removed, archive.entries.size());
  archive.removed.assign(archive.entries.size(), 0);
  return Status();
}

// Reads archive record i and its entries into slot.
Status parseArchive(FileReader& reader, std::size_t i, ArchiveSlot& slot) {
  unsigned char length = 0;
  Status read = readPart(reader, &length, kArchiveNameLengthSize, "the name length");
  if (!read.ok()) return read;
  if (length > kMaxArchiveNameLength) {
    return Status::failure("name length " + std::to_string(length) + " above " + std::to_string(kMaxArchiveNameLength));
  }
  char name[kMaxArchiveNameLength] = {0};
  unsigned char countBytes[kEntryCountSize];
  if (!(read = readPart(reader, name, length, "the name")).ok() ||
      !(read = readPart(reader, countBytes, sizeof countBytes, "the entry count")).ok())
    return read;
  slot.name = decodeArchiveName(name, length);
  slot.archive = std::make_unique<Archive>();
  slot.archive->name = slot.name;
  std::int32_t entryCount = decodeEntryCount(countBytes, i);
  return entryCount > 0 ? parseEntries(reader, entryCount, *slot.archive) : Status();
}

// Reads the records of data.idx into set without opening any archive file.
// A failure at the first record the file cannot hold, named in the reason;
// set may then be partly filled and is thrown away by the caller.
Status parseIndex(FileReader& reader, ArchiveSet& set) {
  unsigned char headerBytes[kIndexHeaderSize];
  Status read = readPart(reader, headerBytes, sizeof headerBytes, "the header");
  if (!read.ok()) return read;
  IndexHeader header = decodeIndexHeader(headerBytes);
  set.baseVersion = header.baseVersion;
  for (std::size_t i = 0; i < header.archiveCount; ++i) {
    auto slot = std::make_unique<ArchiveSlot>();
    Status parsed = parseArchive(reader, i, *slot);
    if (!parsed.ok()) return parsed.withContext("archive " + std::to_string(i));
    set.archives.push_back(std::move(slot));
    set.archiveCount = static_cast<std::uint8_t>(set.archives.size());
  }
  return Status();
}

// Writes the whole set to an open file in bounded chunks; the first failed
// write's reason.
Status writeIndexRecords(platform::FileHandle file, const ArchiveSet& set) {
  std::string chunk;
  chunk.reserve(kSaveChunk + 64);
  std::uint64_t offset = 0;
  auto flushChunk = [&](bool force) {
    if (chunk.empty() || (!force && chunk.size() < kSaveChunk)) return Status();
    Status written = platform::writeFileAt(file, offset, chunk.data(), chunk.size());
    if (!written.ok()) return written;
    offset += chunk.size();
    chunk.clear();
    return Status();
  };
  appendIndexHeader(chunk, set.baseVersion, set.archiveCount);
  for (std::size_t i = 0; i < set.archives.size(); ++i) {
    const ArchiveSlot& slot = *set.archives[i];
    const Archive& archive = *slot.archive;
    std::uint32_t live = static_cast<std::uint32_t>(archive.entries.size() - archive.removedCount);
    appendArchiveRecord(chunk, i, slot.name, live);
    std::size_t n = 0;
    for (std::size_t k = 0; k < archive.entries.size(); ++k) {
      if (isRemoved(archive, k)) continue;
      appendEntryRecord(chunk, n++, archive.entries[k]);
      Status written = flushChunk(false);
      if (!written.ok()) return written;
    }
  }
  return flushChunk(true);
}

// Every archive byte that the new index will refer to must be on disk
// before the index is.
Status flushArchives(ArchiveSet& set) {
  for (auto& slot : set.archives) {
    Archive& archive = *slot->archive;
    if (!archive.unflushed) continue;
    Status flushed = platform::flushFileToDisk(archive.file.get());
    if (!flushed.ok()) return flushed.withContext("the archive " + archive.name + " cannot be flushed to disk");
    archive.unflushed = false;
  }
  return Status();
}

}  // namespace

void compactArchiveAt(ArchiveSet& set, std::size_t at) {
  std::uint32_t position = static_cast<std::uint32_t>(at);
  Archive& archive = *set.archives[position]->archive;
  archive.removed.resize(archive.entries.size(), 0);  // lists filled by hand carry no marks yet
  if (archive.removedCount == 0) return;
  std::size_t kept = 0;
  for (std::size_t n = 0; n < archive.entries.size(); ++n) {
    if (isRemoved(archive, n)) continue;
    if (kept != n) {
      const FileEntry& entry = archive.entries[n];
      archive.entries[kept] = entry;
      EntryLocation location;
      if (keyMapFind(set.keyIndex, entry.key, &location) && location.archive == position && location.entry == n)
        keyMapSet(set.keyIndex, entry.key, EntryLocation{position, static_cast<std::uint32_t>(kept)});
    }
    ++kept;
  }
  archive.entries.resize(kept);
  archive.removed.assign(kept, 0);
  archive.removedCount = 0;
}

void rebuildKeyIndex(ArchiveSet& set) {
  keyMapClear(set.keyIndex);
  set.duplicatedKeys.clear();
  std::size_t total = 0;
  for (auto& slot : set.archives) total += slot->archive->entries.size();
  keyMapReserve(set.keyIndex, total);
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    Archive& archive = *set.archives[a]->archive;
    archive.removed.resize(archive.entries.size(), 0);
    for (std::size_t n = 0; n < archive.entries.size(); ++n) {
      if (isRemoved(archive, n)) continue;
      std::uint32_t key = archive.entries[n].key;
      EntryLocation here{static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(n)};
      if (!keyMapInsertNew(set.keyIndex, key, here)) set.duplicatedKeys.insert(key);
    }
  }
}

Status readIndexFile(const char* path, ArchiveSet& set, KeyLookup lookup) {
  closeArchiveSet(set);
  platform::File file(platform::openFileForReading(path));
  if (!file) return Status::systemFailure("cannot be opened");
  FileReader reader;
  if (!startReading(reader, file.get())) return Status::systemFailure("its size cannot be learnt");
  ArchiveSet loaded;
  Status parsed = parseIndex(reader, loaded);
  if (!parsed.ok()) return parsed;
  if (lookup == KeyLookup::kBuilt) rebuildKeyIndex(loaded);
  set = std::move(loaded);
  return Status();
}

Status loadIndexWithReason() {
  closeArchiveSet(archiveSet);
  archiveSet.indexPath = kIndexFileName;
  ArchiveSet loaded;
  Status read = readIndexFile(kIndexFileName, loaded).withContext(kIndexFileName);
  if (read.ok()) {
    for (auto& slot : loaded.archives) {
      // A missing archive keeps its name and entries, so saving the index
      // writes them back unchanged; nothing is ever written to it.
      slot->archive->file.reset(platform::openFileForExclusiveUpdate(slot->archive->name.c_str()));
    }
    loaded.indexPath = kIndexFileName;
    archiveSet = std::move(loaded);
    installedVersion = archiveSet.baseVersion;
    indexLoaded = true;
  } else {
    core::debugLog("The index was not loaded: %s", read.reason().c_str());
  }
  platform::deleteFile(kPatchListFileName);
  return read;
}

void loadIndex() {
  // The update worker learns the outcome from indexLoaded; the reason is in
  // the trace.
  static_cast<void>(loadIndexWithReason());
}

namespace {

// Writes the set to the temporary index file and flushes it to disk. The
// name is the game folder's, which others may write: a link planted there
// is never written through (an elevated launcher would otherwise write its
// index over the link's target); the save fails instead, and the start of
// the next run removes the link itself with the other leftovers.
Status writeTemporaryIndex(const ArchiveSet& set) {
  platform::File file(platform::createFileNoFollow(kIndexTempFileName));
  if (!file && platform::nameCrossesLink(kIndexTempFileName))
    return Status::failure(std::string(kIndexTempFileName) + " cannot be created: a link lies in its place");
  if (!file) return Status::systemFailure(std::string(kIndexTempFileName) + " cannot be created");
  Status written = writeIndexRecords(file.get(), set);
  if (!written.ok()) return written.withContext(std::string(kIndexTempFileName) + " cannot be written");
  Status flushed = platform::flushFileToDisk(file.get());
  if (!flushed.ok()) return flushed.withContext(std::string(kIndexTempFileName) + " cannot be flushed to disk");
  return Status();
}

Status writeIndex(ArchiveSet& set) {
  Status flushed = flushArchives(set);
  if (!flushed.ok()) return flushed;
  Status written = writeTemporaryIndex(set);
  if (written.ok()) {
    written = platform::replaceFileAtomicallyWithReason(kIndexTempFileName, kIndexFileName)
                  .withContext(std::string(kIndexTempFileName) + " cannot be put in place of " + kIndexFileName);
  }
  // Only a file of the save's own goes: a link in its place stays, and
  // nothing it points to is touched.
  if (!written.ok()) platform::deleteFileNoFollow(kIndexTempFileName);
  return written;
}

}  // namespace

Status saveIndex(ArchiveSet& set) {
  set.indexPath = kIndexFileName;
  // Removed entries are skipped, not compacted away: compacting would touch
  // the key map once for every entry that moves.
  for (auto& slot : set.archives) slot->archive->removed.resize(slot->archive->entries.size(), 0);
  Status saved = writeIndex(set);
  if (!saved.ok()) core::debugLog("The index was not saved: %s", saved.reason().c_str());
  return saved;
}

std::uint64_t indexFileSize(const ArchiveSet& set) {
  std::uint64_t size = kIndexHeaderSize;
  for (const auto& slot : set.archives) {
    const Archive& archive = *slot->archive;
    size += kArchiveNameLengthSize + slot->name.size() + kEntryCountSize;
    size += static_cast<std::uint64_t>(archive.entries.size() - archive.removedCount) * kEntryRecordSize;
  }
  return size;
}

void closeArchiveSet(ArchiveSet& set) {
  for (auto& slot : set.archives) {
    if (slot && slot->archive) slot->archive->file.reset();
  }
  set.archives.clear();
  set.archives.shrink_to_fit();
  set.archiveCount = 0;
  set.baseVersion = 0;
  set.indexPath.clear();
  keyMapClear(set.keyIndex);
  set.duplicatedKeys.clear();
}

void compactArchiveSet(ArchiveSet& set) {
  for (std::size_t a = 0; a < set.archives.size(); ++a) compactArchiveAt(set, a);
}

std::vector<FileEntry> liveEntries(const Archive& archive) {
  std::vector<FileEntry> live;
  live.reserve(archive.entries.size() - archive.removedCount);
  for (std::size_t n = 0; n < archive.entries.size(); ++n) {
    if (!isRemoved(archive, n)) live.push_back(archive.entries[n]);
  }
  return live;
}

}  // namespace archive
