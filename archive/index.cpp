#include "archive/index.h"

#include <cstring>

#include "archive/byte_order.h"
#include "archive/file_reader.h"
#include "archive/index_format.h"

ArchiveSet archiveSet;
bool indexLoaded = false;
std::uint32_t installedVersion = 0;

namespace {

constexpr std::size_t kEntryRecordSize = 12;
constexpr std::size_t kSaveChunk = 1 << 20;

// Reads the records of data.idx into set without opening any archive file.
// False at the first record the file cannot hold; set may then be partly
// filled and is thrown away by the caller.
bool parseIndex(FileReader& reader, ArchiveSet& set) {
  unsigned char header[5];
  if (!readBytes(reader, header, sizeof header)) return false;
  set.baseVersion = getU32(header);
  std::uint8_t count = header[4] ^ kArchiveCountMask;
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char length = 0;
    if (!readBytes(reader, &length, 1) || length > kMaxArchiveNameLength) return false;
    char name[kMaxArchiveNameLength + 1] = {0};
    unsigned char countBytes[4];
    if (!readBytes(reader, name, length) || !readBytes(reader, countBytes, 4)) return false;
    std::int32_t entryCount = static_cast<std::int32_t>(getU32(countBytes) ^ entryCountMask(i));

    auto slot = std::make_unique<ArchiveSlot>();
    slot->name = name;  // a zero byte inside the stored name ends it
    slot->archive = std::make_unique<Archive>();
    slot->archive->name = slot->name;
    if (entryCount > 0) {
      // Check the count against what is left before allocating for it.
      std::uint64_t need = static_cast<std::uint64_t>(entryCount) * kEntryRecordSize;
      if (need > bytesLeft(reader)) return false;
      std::vector<FileEntry>& entries = slot->archive->entries;
      entries.resize(static_cast<std::size_t>(entryCount));
      unsigned char record[kEntryRecordSize];
      for (std::size_t n = 0; n < entries.size(); ++n) {
        if (!readBytes(reader, record, sizeof record)) return false;
        entries[n].key = getU32(record) ^ entryKeyMask(n);
        entries[n].offset = getU32(record + 4) ^ entryOffsetMask(n);
        entries[n].size = getU32(record + 8) ^ entrySizeMask(n);
      }
      slot->archive->removed.assign(entries.size(), 0);
    }
    set.archives.push_back(std::move(slot));
    set.archiveCount = static_cast<std::uint8_t>(set.archives.size());
  }
  return true;
}

// Writes the whole set to an open file in bounded chunks; false on any
// failed write.
bool writeIndexRecords(platform::FileHandle file, const ArchiveSet& set) {
  std::string chunk;
  chunk.reserve(kSaveChunk + 64);
  std::uint64_t offset = 0;
  auto flushChunk = [&](bool force) {
    if (chunk.empty() || (!force && chunk.size() < kSaveChunk)) return true;
    if (!platform::writeFileAt(file, offset, chunk.data(), chunk.size())) return false;
    offset += chunk.size();
    chunk.clear();
    return true;
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
      if (!flushChunk(false)) return false;
    }
  }
  return flushChunk(true);
}

// Every archive byte that the new index will refer to must be on disk
// before the index is.
bool flushArchives(ArchiveSet& set) {
  for (auto& slot : set.archives) {
    Archive& archive = *slot->archive;
    if (!archive.unflushed) continue;
    if (!platform::flushFileToDisk(archive.fileHandle)) return false;
    archive.unflushed = false;
  }
  return true;
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

bool readIndexFile(const char* path, ArchiveSet& set) {
  closeArchiveSet(set);
  platform::FileHandle file = platform::openFileForReading(path);
  if (file == platform::kNoFile) return false;
  ArchiveSet loaded;
  FileReader reader;
  bool parsed = startReading(reader, file) && parseIndex(reader, loaded);
  platform::closeFile(file);
  if (!parsed) return false;
  rebuildKeyIndex(loaded);
  set = std::move(loaded);
  return true;
}

void loadIndex() {
  closeArchiveSet(archiveSet);
  archiveSet.indexPath = kIndexFileName;
  ArchiveSet loaded;
  if (readIndexFile(kIndexFileName, loaded)) {
    for (auto& slot : loaded.archives) {
      // A missing archive keeps its name and entries, so saving the index
      // writes them back unchanged; nothing is ever written to it.
      slot->archive->fileHandle = platform::openArchiveFile(slot->archive->name.c_str());
    }
    loaded.indexPath = kIndexFileName;
    archiveSet = std::move(loaded);
    installedVersion = archiveSet.baseVersion;
    indexLoaded = true;
  }
  platform::deleteFile(kPatchListFileName);
}

void saveIndex(ArchiveSet& set) {
  set.indexPath = kIndexFileName;
  // Removed entries are skipped, not compacted away: compacting would touch
  // the key map once for every entry that moves.
  for (auto& slot : set.archives) slot->archive->removed.resize(slot->archive->entries.size(), 0);
  if (!flushArchives(set)) return;
  platform::FileHandle file = platform::createFile(kIndexTempFileName);
  if (file == platform::kNoFile) return;
  bool written = writeIndexRecords(file, set) && platform::flushFileToDisk(file);
  platform::closeFile(file);
  if (!written || !platform::replaceFileAtomically(kIndexTempFileName, kIndexFileName))
    platform::deleteFile(kIndexTempFileName);
}

void closeArchiveSet(ArchiveSet& set) {
  for (auto& slot : set.archives) {
    if (slot && slot->archive) platform::closeFile(slot->archive->fileHandle);
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
