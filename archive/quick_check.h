// The quick check of an installation, made at every start before the
// update: the index reads, and every archive it lists is a plain file of
// its own, long enough for every entry the index gives it. Only names and
// file lengths are looked at, never the stored bytes, so it costs a pass
// over the entries in memory and one look per archive (well under a second
// for 1,000,000 entries in 20 archives, bench/archive_bench --only=quick).
//
// The result is a plain record for whoever acts on it (the trace now, a
// repair later): each damaged archive once, with what is wrong and the
// lengths involved.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/index.h"

namespace archive {

enum class ArchiveFault {
  kBadName,       // the name leaves the installation (archive/install_path.h); not looked at
  kMissing,       // nothing at the name
  kDirectory,     // a directory at the name
  kLink,          // a symbolic link, junction or reparse point at the name or on the way
  kOther,         // something that is no plain file (a device, a pipe)
  kTooShort,      // a plain file shorter than its furthest entry's end
  kUnmeasurable,  // the system could not say what lies there (reason in `reason`)
};

struct ArchiveProblem {
  std::size_t position = 0;  // the archive's place in the index, from 0
  std::string name;          // as the index lists it
  ArchiveFault fault = ArchiveFault::kMissing;
  // The length the file must have: the largest offset + size of its entries
  // (0 for an archive without entries).
  std::uint64_t needed = 0;
  std::uint64_t actual = 0;  // the plain file's length; 0 for every other fault
  std::string reason;        // kUnmeasurable: the system's reason
};

struct QuickCheckResult {
  // False when the index cannot be read; `indexProblem` then says why
  // ("data.idx: cannot be opened: No such file or directory") and no
  // archive was looked at.
  bool indexRead = false;
  std::string indexProblem;
  std::uint32_t baseVersion = 0;         // the index's version, when it was read
  std::size_t archives = 0;              // archives the index lists
  std::uint64_t entries = 0;             // entries it lists (removed ones not counted)
  std::vector<ArchiveProblem> problems;  // in index order, one per damaged archive

  bool ok() const { return indexRead && problems.empty(); }
};

// Checks the archives of a loaded set against the files in the working
// directory. Entries marked removed do not count. An archive with no entry
// must still be there as a plain file (the launcher appends to it).
QuickCheckResult quickCheckArchives(const ArchiveSet& set);

// Reads the index file at path (readIndexFile, no archive opened) and
// checks its archives; an index that cannot be read gives indexRead false
// with the reason.
QuickCheckResult quickCheckIndexFile(const char* path = kIndexFileName);

// The result for an index that could not be read, with the reason.
QuickCheckResult unreadableIndex(const std::string& reason);

// One line for the trace: "GAME3.VFS (archive 3) is too short: 1200 bytes
// needed, 1000 there".
std::string describeArchiveProblem(const ArchiveProblem& problem);

}  // namespace archive
