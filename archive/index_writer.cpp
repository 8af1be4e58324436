#include "archive/index_writer.h"

#include "archive/index_format.h"
#include "platform/file.h"

namespace archive {

std::string encodeIndex(std::uint32_t baseVersion, const std::vector<IndexArchiveSpec>& archives) {
  std::string out;
  appendIndexHeader(out, baseVersion, static_cast<std::uint8_t>(archives.size()));
  for (std::size_t i = 0; i < archives.size(); ++i) {
    const IndexArchiveSpec& archive = archives[i];
    appendArchiveRecord(out, i, archive.name, static_cast<std::uint32_t>(archive.entries.size()));
    for (std::size_t n = 0; n < archive.entries.size(); ++n) appendEntryRecord(out, n, archive.entries[n]);
  }
  return out;
}

platform::Status writeIndexFile(const char* path, std::uint32_t baseVersion,
                                const std::vector<IndexArchiveSpec>& archives) {
  std::string bytes = encodeIndex(baseVersion, archives);
  platform::File file(platform::createFile(path));
  if (!file) return platform::Status::systemFailure(std::string(path) + " cannot be created");
  if (bytes.empty()) return platform::Status();
  return platform::writeFileAt(file.get(), 0, bytes.data(), bytes.size())
      .withContext(std::string(path) + " cannot be written");
}

}  // namespace archive
