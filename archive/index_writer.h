// Builds "data.idx" files from plain lists: for tests, benchmarks and the
// operator's tool. The layout is the one in archive/index.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/index.h"
#include "platform/status.h"

namespace archive {

struct IndexArchiveSpec {
  std::string name;
  std::vector<FileEntry> entries;
};

// The bytes of an index with these archives, in this order. Names longer
// than 31 bytes are written as given (to build malformed indexes on purpose).
std::string encodeIndex(std::uint32_t baseVersion, const std::vector<IndexArchiveSpec>& archives);

// Writes encodeIndex's bytes as the file at path; ok when all were written,
// else the reason with the system's own text ("data.idx cannot be written:
// No space left on device").
platform::Status writeIndexFile(const char* path, std::uint32_t baseVersion,
                                const std::vector<IndexArchiveSpec>& archives);

}  // namespace archive
