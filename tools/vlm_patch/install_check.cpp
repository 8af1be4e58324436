#include "tools/vlm_patch/install_check.h"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "archive/install_path.h"
#include "platform/file.h"

namespace vlmpatch {

bool readInstallIndex(archive::ArchiveSet* set, std::string* error) {
  if (!platform::pathExists(archive::kIndexFileName)) {
    *error = "no data.idx here: not an installation";
    return false;
  }
  platform::Status read = readIndexFile(archive::kIndexFileName, *set);
  if (!read.ok()) {
    *error = "data.idx is damaged: " + read.reason();
    return false;
  }
  return true;
}

// Bytes covered by the union of the ranges.
static std::uint64_t coveredBytes(std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges) {
  std::sort(ranges.begin(), ranges.end());
  std::uint64_t covered = 0, reach = 0;
  for (const auto& [start, end] : ranges) {
    std::uint64_t from = std::max(start, reach);
    if (end > from) covered += end - from;
    reach = std::max(reach, end);
  }
  return covered;
}

static std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

CheckReport checkInstallation(const archive::ArchiveSet& set) {
  CheckReport report;
  std::unordered_map<std::uint32_t, std::string> owners;
  std::unordered_map<std::string, int> names;
  for (const auto& slot : set.archives) {
    const archive::Archive& archive = *slot->archive;
    ArchiveReport a;
    a.name = slot->name;
    if (a.name.empty() || !archive::isInstallRelativeName(a.name.c_str())) {
      report.problems.push_back("archive name '" + a.name + "' does not name a file inside the installation");
    }
    if (++names[a.name] == 2) report.problems.push_back("archive name '" + a.name + "' is listed twice");
    platform::File file(platform::openFileForReading(a.name.c_str()));
    a.present = file && platform::getFileSize(file.get(), &a.fileSize);
    std::vector<archive::FileEntry> entries = archive::liveEntries(archive);
    a.entries = entries.size();
    if (!a.present && !entries.empty()) report.problems.push_back("archive " + a.name + " is missing");
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    for (std::size_t n = 0; n < entries.size(); ++n) {
      const archive::FileEntry& e = entries[n];
      std::uint64_t end = static_cast<std::uint64_t>(e.offset) + e.size;
      if (a.present && end > a.fileSize) {
        report.problems.push_back("entry " + std::to_string(n) + " of " + a.name + " (key " + hex(e.key) +
                                  ") ends at byte " + std::to_string(end) + ", beyond the file's " +
                                  std::to_string(a.fileSize) + " bytes");
      }
      auto [it, fresh] = owners.emplace(e.key, a.name);
      if (!fresh) report.problems.push_back("key " + hex(e.key) + " is listed in " + it->second + " and in " + a.name);
      ranges.emplace_back(e.offset, std::min<std::uint64_t>(end, a.present ? a.fileSize : end));
    }
    a.referenced = coveredBytes(std::move(ranges));
    a.unreferenced = a.present && a.fileSize > a.referenced ? a.fileSize - a.referenced : 0;
    report.unreferencedTotal += a.unreferenced;
    report.archives.push_back(a);
  }
  return report;
}

}  // namespace vlmpatch
