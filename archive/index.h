// The archive index: the in-memory set of archives and the file "data.idx".
//
// data.idx (all integers little-endian, no padding, no magic, no trailer):
//   u32  baseVersion                     plain
//   u8   archiveCount                    XOR 0x2D
//   then for archive i = 0 .. archiveCount-1:
//     u8   name length L (0..31)
//     L    name bytes, no terminating zero
//     u32  entry count E                 XOR T16[(i mod 64) * 4]  (read signed;
//                                        E <= 0 means no entry records)
//     then for entry n = 0 .. E-1:
//       u32 key                          XOR T16[(n mod 16) * 16]
//       u32 offset                       XOR T16[(n mod 32) * 8]
//       u32 size                         XOR T16[(n mod 4) * 64]
// T16 entries are zero-extended, so only the low 16 bits of a field differ
// from its plain value.
//
// The set belongs to the update worker alone; nothing here takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "archive/key_map.h"
#include "platform/file.h"
#include "platform/status.h"

namespace archive {

struct FileEntry {
  std::uint32_t key;
  std::uint32_t offset;  // where the data starts in the archive file
  std::uint32_t size;    // its length in bytes
};

struct Archive {
  std::string name;  // the file is opened by this name, relative to the working directory
  // The stored files in index order. Replacing a file marks its old entry in
  // `removed` instead of moving every later entry up at once; saveIndex
  // skips marked entries, and they are dropped, order kept, once they make
  // up half of a large list or when compactArchiveSet is called. Read the
  // list through liveEntries when it may hold marks.
  std::vector<FileEntry> entries;
  std::vector<std::uint8_t> removed;  // same length as entries; 1 = taken out
  std::size_t removedCount = 0;
  platform::File file;  // open while the set is loaded; closes itself
  // The file's size as this process last learnt it: the archives are opened
  // so that no other process may write them, so only our own appends change
  // it and re-measuring at every item is not needed.
  std::uint64_t knownSize = 0;
  bool sizeKnown = false;
  bool unflushed = false;  // appended to since the last flush to disk
};

struct ArchiveSlot {
  std::string name;  // as listed in the index; saveIndex writes this one
  std::unique_ptr<Archive> archive;
};

struct ArchiveSet {
  std::string indexPath;
  std::uint32_t baseVersion = 0;
  std::uint8_t archiveCount = 0;  // always archives.size()
  std::vector<std::unique_ptr<ArchiveSlot>> archives;
  // key -> the first entry of that key in set order.
  KeyLocationMap keyIndex;
  // Keys that a loaded index held more than once (never made by this code);
  // their removal falls back to a scan to find the next holder.
  std::unordered_set<std::uint32_t> duplicatedKeys;
};

constexpr const char* kIndexFileName = "data.idx";
constexpr const char* kIndexTempFileName = "data.idx.new";
constexpr const char* kPatchListFileName = "patch.hpl";
constexpr std::size_t kMaxArchiveNameLength = 31;
constexpr std::size_t kMaxArchives = 255;

extern ArchiveSet archiveSet;
extern bool indexLoaded;
extern std::uint32_t installedVersion;

// Reads "data.idx" from the working directory into archiveSet, opens the
// archive files, sets installedVersion and indexLoaded. A missing, short or
// malformed index leaves the set empty and indexLoaded false; the reason
// goes to the trace. Always deletes "patch.hpl" last, since the update
// fetches it afresh.
void loadIndex();
// loadIndex, giving the reason the index was not loaded as well:
// "data.idx: archive 3: name length 40 above 31".
[[nodiscard]] platform::Status loadIndexWithReason();

// Reads an index file into set (emptied first) without opening the archive
// files or touching any process-wide state: for tools that inspect an
// installation. A failure, with set empty, when the file cannot be read or
// ends early or holds impossible values; its reason names the record
// ("archive 3: name length 40 above 31", "archive 0: 1000 entries need
// 12000 bytes, 40 are left") without the file's name.
// With KeyLookup::kNone, keyIndex and duplicatedKeys stay empty: for a
// reader that sorts the keys its own way and finds repeated keys itself.
enum class KeyLookup { kBuilt, kNone };
[[nodiscard]] platform::Status readIndexFile(const char* path, ArchiveSet& set, KeyLookup lookup = KeyLookup::kBuilt);

// Writes the set to "data.idx": the archives' new bytes are flushed to disk
// first, then a temporary file beside it is written, flushed and put in
// place atomically, so "data.idx" is always the old index or the new one.
// A failure (the old index left in place) says which step failed and the
// system's reason; it is traced too.
[[nodiscard]] platform::Status saveIndex(ArchiveSet& set);

// The length of the index file saveIndex would write for the set now
// (entries marked removed left out).
std::uint64_t indexFileSize(const ArchiveSet& set);

// Closes every archive file and empties the set, leaving it ready for reuse.
void closeArchiveSet(ArchiveSet& set);

// Drops the entries marked removed, keeping order, and fixes keyIndex.
void compactArchiveSet(ArchiveSet& set);
// The same for the archive at one position.
void compactArchiveAt(ArchiveSet& set, std::size_t position);

// Whether entry n of the archive is marked removed.
inline bool isRemoved(const Archive& archive, std::size_t n) {
  return n < archive.removed.size() && archive.removed[n] != 0;
}

// The archive's entries without those marked removed, in order.
std::vector<FileEntry> liveEntries(const Archive& archive);

// Rebuilds keyIndex and duplicatedKeys from the entry lists (after the lists
// were filled by hand, e.g. in tests).
void rebuildKeyIndex(ArchiveSet& set);

}  // namespace archive
