// The logical comparison of two installations: the same keys holding the
// same bytes, the same loose files with the same bytes, the same version.
// Where the bytes lie (which archive, which offset, bytes nothing refers to
// any more) does not matter, nor does the machinery (install_tree.h). Bytes
// are compared themselves, not digests, so an operator can check what a diff
// published.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/vlm_patch/install_tree.h"

namespace vlmpatch {

constexpr std::size_t kListedDifferences = 20;

struct TreeComparison {
  std::vector<std::string> differences;  // the first kListedDifferences, in order
  std::size_t total = 0;                 // how many there are
};

// Compares two trees read by readInstallTree. False when a file cannot be
// read (error says which); the result then means nothing.
bool compareTrees(const InstallTree& a, const InstallTree& b, TreeComparison* result, std::string* error);

// Whether two files of the given size hold the same bytes, read side by side
// in bounded pieces. False when either cannot be read whole (error says which).
bool filesHoldSameBytes(const std::string& pathA, const std::string& pathB, std::uint64_t size, bool* same,
                        std::string* error);

}  // namespace vlmpatch
