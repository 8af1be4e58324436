#include "archive/quick_check.h"

#include "archive/install_path.h"
#include "platform/file.h"

namespace archive {

namespace {

// The furthest byte the archive's entries reach, and how many there are.
std::uint64_t furthestEnd(const Archive& archive, std::uint64_t* entries) {
  std::uint64_t end = 0, live = 0;
  const std::size_t count = archive.entries.size();
  const bool marks = archive.removedCount != 0;
  for (std::size_t n = 0; n < count; ++n) {
    if (marks && isRemoved(archive, n)) continue;
    const FileEntry& e = archive.entries[n];
    std::uint64_t reach = static_cast<std::uint64_t>(e.offset) + e.size;
    if (reach > end) end = reach;
    ++live;
  }
  *entries += live;
  return end;
}

ArchiveFault faultOf(platform::NameKind kind) {
  switch (kind) {
    case platform::NameKind::kMissing:
      return ArchiveFault::kMissing;
    case platform::NameKind::kDirectory:
      return ArchiveFault::kDirectory;
    case platform::NameKind::kLink:
      return ArchiveFault::kLink;
    default:
      return ArchiveFault::kOther;
  }
}

// The archive's problem, or false when it is sound.
bool checkArchive(std::size_t position, const ArchiveSlot& slot, std::uint64_t needed, ArchiveProblem* problem) {
  problem->position = position;
  problem->name = slot.name;
  problem->needed = needed;
  // A hostile index could name any file on the disk: such a name is not
  // looked at, only reported.
  if (!isInstallRelativeName(slot.name.c_str())) {
    problem->fault = ArchiveFault::kBadName;
    return true;
  }
  platform::NameFacts facts;
  platform::Status looked = platform::inspectNameNoFollow(slot.name.c_str(), &facts);
  if (!looked.ok()) {
    problem->fault = ArchiveFault::kUnmeasurable;
    problem->reason = looked.reason();
    return true;
  }
  if (facts.kind != platform::NameKind::kFile) {
    problem->fault = faultOf(facts.kind);
    return true;
  }
  problem->actual = facts.size;
  if (facts.size >= needed) return false;
  problem->fault = ArchiveFault::kTooShort;
  return true;
}

}  // namespace

QuickCheckResult quickCheckArchives(const ArchiveSet& set) {
  QuickCheckResult result;
  result.indexRead = true;
  result.baseVersion = set.baseVersion;
  result.archives = set.archives.size();
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    const ArchiveSlot& slot = *set.archives[a];
    std::uint64_t needed = slot.archive ? furthestEnd(*slot.archive, &result.entries) : 0;
    ArchiveProblem problem;
    if (checkArchive(a, slot, needed, &problem)) result.problems.push_back(std::move(problem));
  }
  return result;
}

QuickCheckResult quickCheckIndexFile(const char* path) {
  ArchiveSet set;
  // The key map is not needed: only offsets and sizes are looked at.
  platform::Status read = readIndexFile(path, set, KeyLookup::kNone);
  if (!read.ok()) return unreadableIndex(read.withContext(path).reason());
  return quickCheckArchives(set);
}

QuickCheckResult unreadableIndex(const std::string& reason) {
  QuickCheckResult result;
  result.indexRead = false;
  result.indexProblem = reason.empty() ? "cannot be read" : reason;
  return result;
}

std::string describeArchiveProblem(const ArchiveProblem& problem) {
  std::string line = problem.name + " (archive " + std::to_string(problem.position) + ") ";
  switch (problem.fault) {
    case ArchiveFault::kBadName:
      return line + "names a file outside the installation";
    case ArchiveFault::kMissing:
      return line + "is missing";
    case ArchiveFault::kDirectory:
      return line + "is a directory, not a file";
    case ArchiveFault::kLink:
      return line + "is a link or lies behind one, not a file of its own";
    case ArchiveFault::kOther:
      return line + "is not a plain file";
    case ArchiveFault::kTooShort:
      return line + "is too short: " + std::to_string(problem.needed) + " bytes needed, " +
             std::to_string(problem.actual) + " there";
    case ArchiveFault::kUnmeasurable:
      return line + "cannot be looked at: " + problem.reason;
  }
  return line + "is damaged";
}

}  // namespace archive
