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
// The packages come in this order, numbered on from the first number: the
// type-1 packages, then the type-4, then the type-3. Deleting before writing
// lets a file give way to a directory of the same name, and a file renamed
// only in case survive on Windows, where the old and new names are one file.
// Each package holds at most 65,535 items and, past its first item, at most
// kMaxPackageBytes bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/memory.h"
#include "tools/vlm_patch/install_tree.h"

namespace vlmpatch {

// Where NEW holds a key that a type-1 item stores.
struct StoredKey {
  std::uint32_t key = 0;
  std::uint32_t archive = 0;  // position in NEW's index
  std::uint32_t offset = 0;
  std::uint32_t size = 0;
  // NEW's bytes of the key as the diff read them (size bytes, in the diff's
  // heldBytes), or nullptr: writePackages reads them again.
  const unsigned char* held = nullptr;
};

// The bytes of changed keys kept while NEW was read, in blocks that never
// move. Moved with its diff, never copied: StoredKey::held points into it.
struct HeldBytes {
  std::vector<platform::LargeTable<unsigned char>> blocks;
  HeldBytes() = default;
  HeldBytes(HeldBytes&&) = default;
  HeldBytes& operator=(HeldBytes&&) = default;
  HeldBytes(const HeldBytes&) = delete;
  HeldBytes& operator=(const HeldBytes&) = delete;
};

struct ReleaseDiff {
  std::vector<StoredKey> storedKeys;      // in NEW's archive order, then offset order
  std::vector<LooseFile> writtenFiles;    // NEW's, sorted by name
  std::vector<std::string> deletedFiles;  // OLD's, sorted
  std::vector<std::string> notes;         // for the operator; nothing is wrong
  HeldBytes heldBytes;                    // what storedKeys' held point into
};

constexpr std::size_t kMaxPackageItems = 65535;
// A package past its first item stays within this many bytes, so one patch
// stays a size a player downloads and a stored RAR entry holds.
constexpr std::uint64_t kMaxPackageBytes = 1ull << 31;
// A package must fit in a stored RAR entry, whose length field has 32 bits.
constexpr std::uint64_t kMaxPackageFileBytes = 0xFFFFFFFFull;

enum class DiffOutcome {
  kDone,       // diff holds the difference
  kStaleKeys,  // NEW lacks keys of OLD (staleKeys) and they were not allowed
  kFailed,     // problems says why
};

// Reads OLD and NEW (as readInstallTree does) and works out the difference.
// The two indexes are read side by side; then a few threads (as many as
// the processors, 2 to 8) read OLD's archives and then NEW's, one
// sequential pass over each archive, while the main thread pairs the keys
// and compares the loose files. NEW's keys are compared as they are read,
// and the bytes of changed keys are kept (up to 64 MiB in all) for
// writePackages. staleKeys (ascending) is filled whenever
// NEW lacks keys of OLD, once the keys are paired; unless allowStaleKeys,
// the work stops there, and the reading of the archives, begun meanwhile,
// is broken off. Memory grows with the
// entry count, and past the kept bytes never with the size of the data. Also kFailed
// when a file cannot be read or NEW cannot be reached by packages (a file
// where OLD has a directory, which no package removes; a file under the name
// of one of OLD's archives); problems is bounded as readInstallTree bounds
// its own. Shows its progress on a terminal.
DiffOutcome diffInstallations(const std::string& oldDir, const std::string& newDir, bool allowStaleKeys,
                              InstallTree* oldTree, InstallTree* newTree, ReleaseDiff* diff,
                              std::vector<std::uint32_t>* staleKeys, std::vector<std::string>* problems);

struct PlannedPackage {
  std::uint8_t type = 1;
  std::uint32_t number = 0;  // also the package's version
  std::size_t first = 0;     // position of its first item in the diff's list of that type
  std::size_t count = 0;
  std::uint64_t bytes = 0;  // the package file's size
};

// The bytes one item adds to a package: its record and its data.
std::uint64_t itemBytes(std::uint8_t type, std::size_t nameLength, std::uint64_t dataLength);

// Cuts a run of items (their sizes in bytes, in order) into packages: a new
// one starts where the next item would make more than maxItems items or more
// than maxBytes bytes (the 6-byte header included); an item larger than
// maxBytes alone makes one package. The (first, count) of each, in order.
std::vector<std::pair<std::size_t, std::size_t>> splitItems(const std::vector<std::uint64_t>& sizes,
                                                            std::size_t maxItems, std::uint64_t maxBytes);

// The packages of a diff, numbered from firstNumber. False when an item is
// too large for any package or the numbers would pass 65535; error says so.
bool planPackages(const ReleaseDiff& diff, std::uint32_t firstNumber, std::vector<PlannedPackage>* plan,
                  std::string* error);

// "<number>.dat": the name a package is written under, which publish takes.
std::string packageFileName(std::uint32_t number);
// The inverse: true for "<n>.dat" with n from 0 to 65535 in decimal without
// leading zeros, n in *number.
bool parsePackageFileName(const std::string& name, std::uint32_t* number);

// Writes the planned packages into outDir, with the keys' kept bytes and
// reading the others (and the loose files) from NEW again. Each
// is written under a hidden temporary name first; only when all are whole
// and on disk are they renamed to their numbered names, so outDir never
// holds a half package, nor some packages of a diff without the ones before
// them. On failure nothing of this diff is left. Shows progress on a terminal.
bool writePackages(const InstallTree& newTree, const ReleaseDiff& diff, const std::vector<PlannedPackage>& plan,
                   const std::string& outDir, std::string* error);

}  // namespace vlmpatch
