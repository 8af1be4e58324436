// The records of "data.idx" (layout in archive/index.h): for each record its
// size, its masks, its writer and its reader side by side, so the two
// directions cannot drift apart. saveIndex and the test/operator writer
// encode with these; readIndexFile decodes with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "archive/byte_order.h"
#include "archive/index.h"
#include "archive/mask_tables.h"

namespace archive {

constexpr std::uint8_t kArchiveCountMask = 0x2D;

inline std::uint32_t entryCountMask(std::size_t archive) { return T16[(archive % 64) * 4]; }
inline std::uint32_t entryKeyMask(std::size_t entry) { return T16[(entry % 16) * 16]; }
inline std::uint32_t entryOffsetMask(std::size_t entry) { return T16[(entry % 32) * 8]; }
inline std::uint32_t entrySizeMask(std::size_t entry) { return T16[(entry % 4) * 64]; }

// The header: u32 baseVersion, u8 archiveCount (masked).
constexpr std::size_t kIndexHeaderSize = 5;

struct IndexHeader {
  std::uint32_t baseVersion = 0;
  std::uint8_t archiveCount = 0;
};

inline void appendIndexHeader(std::string& out, std::uint32_t baseVersion, std::uint8_t archiveCount) {
  putU32(out, baseVersion);
  putU8(out, archiveCount ^ kArchiveCountMask);
}

inline IndexHeader decodeIndexHeader(const unsigned char (&bytes)[kIndexHeaderSize]) {
  return IndexHeader{getU32(bytes), static_cast<std::uint8_t>(bytes[4] ^ kArchiveCountMask)};
}

// An archive record: u8 name length L, L name bytes, u32 entry count
// (masked by the archive's position).
constexpr std::size_t kArchiveNameLengthSize = 1;
constexpr std::size_t kEntryCountSize = 4;

// The name is written as given; callers keep it within kMaxArchiveNameLength.
inline void appendArchiveRecord(std::string& out, std::size_t archive, const std::string& name,
                                std::uint32_t entryCount) {
  putU8(out, static_cast<std::uint8_t>(name.size()));
  out.append(name);
  putU32(out, entryCount ^ entryCountMask(archive));
}

// The stored name bytes (at most kMaxArchiveNameLength) as the name: a zero
// byte inside ends it.
inline std::string decodeArchiveName(const char* bytes, std::size_t length) {
  const void* zero = std::memchr(bytes, 0, length);
  return std::string(bytes, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes) : length);
}

// The entry count is read signed: zero or less means no entry records.
inline std::int32_t decodeEntryCount(const unsigned char (&bytes)[kEntryCountSize], std::size_t archive) {
  return static_cast<std::int32_t>(getU32(bytes) ^ entryCountMask(archive));
}

// An entry record: u32 key, u32 offset, u32 size, each masked by the entry's
// position in its archive.
constexpr std::size_t kEntryRecordSize = 12;

inline void appendEntryRecord(std::string& out, std::size_t entry, const FileEntry& e) {
  putU32(out, e.key ^ entryKeyMask(entry));
  putU32(out, e.offset ^ entryOffsetMask(entry));
  putU32(out, e.size ^ entrySizeMask(entry));
}

inline FileEntry decodeEntryRecord(const unsigned char (&bytes)[kEntryRecordSize], std::size_t entry) {
  return FileEntry{getU32(bytes) ^ entryKeyMask(entry), getU32(bytes + 4) ^ entryOffsetMask(entry),
                   getU32(bytes + 8) ^ entrySizeMask(entry)};
}

}  // namespace archive
