// The masks and record encoders of "data.idx" (layout in archive/index.h),
// shared by saveIndex and the test/operator writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/byte_order.h"
#include "archive/index.h"
#include "archive/mask_tables.h"

constexpr std::uint8_t kArchiveCountMask = 0x2D;

inline std::uint32_t entryCountMask(std::size_t archive) { return T16[(archive % 64) * 4]; }
inline std::uint32_t entryKeyMask(std::size_t entry) { return T16[(entry % 16) * 16]; }
inline std::uint32_t entryOffsetMask(std::size_t entry) { return T16[(entry % 32) * 8]; }
inline std::uint32_t entrySizeMask(std::size_t entry) { return T16[(entry % 4) * 64]; }

inline void appendIndexHeader(std::string& out, std::uint32_t baseVersion, std::uint8_t archiveCount) {
  putU32(out, baseVersion);
  putU8(out, archiveCount ^ kArchiveCountMask);
}

// The name is written as given; callers keep it within 31 bytes.
inline void appendArchiveRecord(std::string& out, std::size_t archive, const std::string& name,
                                std::uint32_t entryCount) {
  putU8(out, static_cast<std::uint8_t>(name.size()));
  out.append(name);
  putU32(out, entryCount ^ entryCountMask(archive));
}

inline void appendEntryRecord(std::string& out, std::size_t entry, const FileEntry& e) {
  putU32(out, e.key ^ entryKeyMask(entry));
  putU32(out, e.offset ^ entryOffsetMask(entry));
  putU32(out, e.size ^ entrySizeMask(entry));
}
