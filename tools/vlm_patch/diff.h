// What takes one installation (OLD) to another (NEW), written as numbered
// patch packages that the launcher applies in order.
//
// Keys: each key of NEW that OLD lacks, or holds with another size or other
// bytes, is stored again by a type-1 item with NEW's bytes. Bytes are told
// apart by their digest, which covers their size (tools/vlm_patch/digest.h): each
// installation's archives are read once, each archive in the order of its
// offsets, never in key order. A key that only OLD holds cannot be
// removed by any package type; the command refuses or allows such keys.
//
// Loose files (install_tree.h) are compared byte for byte: one NEW adds or
// changes is written by a type-3 item, one NEW no longer has is deleted by a
// type-4 item.
//
// How the packages are cut, numbered and put in place: diff_packages.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vlm_patch/diff_packages.h"
#include "tools/vlm_patch/install_tree.h"

namespace vlmpatch {

// Where NEW holds a key that a type-1 item stores.
struct StoredKey {
  std::uint32_t key = 0;
  std::uint32_t archive = 0;  // position in NEW's index
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  // NEW's bytes of the key as the diff read them (size bytes, kept while
  // the diff runs), or nullptr: they are read again to be written.
  const unsigned char* held = nullptr;
};

// What the diff found besides the keys, whose packages it writes as it goes.
struct ReleaseDiff {
  std::vector<LooseFile> writtenFiles;    // NEW's, sorted by name
  std::vector<std::string> deletedFiles;  // OLD's, sorted
  std::vector<std::string> notes;         // for the operator; nothing is wrong
};

enum class DiffOutcome {
  kDone,       // diff holds the difference
  kStaleKeys,  // NEW lacks keys of OLD (staleKeys) and they were not allowed
  kFailed,     // problems says why
};

// Reads OLD and NEW (as readInstallTree does), works out the difference
// and writes its type-1 packages into output, numbered from its nextNumber
// (0: OLD's version + 1; left at the number the next package takes).
//
// The two indexes are read side by side; then a few threads (as many as the
// processors, 2 to 8) read OLD's archives and then NEW's, each in offset order
// in parts of about 16,384 entries, one sequential pass a part, while the main
// thread pairs the keys and compares the loose files. NEW's keys are compared
// as they are read, and the bytes of changed keys are kept (up to 64 MiB in
// all); the main thread writes them into the packages, part by part in NEW's
// order, while the threads read on. staleKeys (ascending) is filled
// whenever NEW lacks keys of OLD, once the keys are paired; unless
// allowStaleKeys, the work stops there, nothing is written, and the reading of
// the archives, begun meanwhile, is broken off. Memory grows with the entry
// count, and past the kept bytes never with the size of the data. Also kFailed
// when a file cannot be read or written, when OLD's version leaves no patch
// number, or when NEW cannot be reached by packages (a file where OLD has a
// directory, which no package removes; a file under the name of one of OLD's
// archives); problems is bounded as readInstallTree bounds its own. Shows its
// progress on a terminal.
DiffOutcome diffInstallations(const std::string& oldDir, const std::string& newDir, bool allowStaleKeys,
                              InstallTree* oldTree, InstallTree* newTree, ReleaseDiff* diff, PackageOutput* output,
                              std::vector<std::uint32_t>* staleKeys, std::vector<std::string>* problems);

}  // namespace vlmpatch
