// Inspecting an installation's index and archives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/index.h"

namespace vlmpatch {

struct ArchiveReport {
  std::string name;
  bool present = false;  // the archive file exists and can be measured
  std::uint64_t fileSize = 0;
  std::size_t entries = 0;
  std::uint64_t referenced = 0;    // bytes that some entry covers
  std::uint64_t unreferenced = 0;  // bytes of replaced files nothing covers
};

struct CheckReport {
  std::vector<ArchiveReport> archives;
  std::vector<std::string> problems;  // anything that makes the installation unsound
  std::uint64_t unreferencedTotal = 0;
};

// Reads "data.idx" from the working directory without opening the archives
// for writing and without touching any other file. False when it is not
// there or is damaged; the error then names the damaged record ("data.idx is
// damaged: archive 3: name length 40 above 31").
bool readInstallIndex(archive::ArchiveSet* set, std::string* error);

// Checks the set read from the working directory: every entry within its
// archive file, keys unique, archive names sound and unique; counts the bytes
// nothing refers to.
CheckReport checkInstallation(const archive::ArchiveSet& set);

}  // namespace vlmpatch
