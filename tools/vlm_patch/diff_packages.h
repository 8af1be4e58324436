// The packages a diff writes (diff.h): how its items are cut into packages
// and numbered, and how the packages reach the output directory.
//
// The packages come in this order, numbered on from the first number: the
// type-1 packages, then the type-4, then the type-3, and last the empty ones
// that raise an installation's version to NEW's (diff_numbering.h). Deleting
// before writing lets a file give way to a directory of the same name, and a
// file renamed only in case survive on Windows, where the old and new names
// are one file. Each package holds at most 65,535 items and, past its first
// item, at most PackageOutput::maxPackageBytes bytes (packageBytesWithin of
// the operator's --max-patch-size): a download cut short costs the player
// one patch of that size at most, not the whole difference. The cut only
// adds packages of the same type next to each other, so the order above,
// and with it what applying them in order makes, stays as it is.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "archive/package_writer.h"
#include "platform/file.h"
#include "tools/rar_writer/rar_writer.h"
#include "tools/vlm_patch/progress.h"

namespace vlmpatch {

struct InstallTree;
struct PackageOutput;
struct ReleaseDiff;
struct StoredKey;

constexpr std::size_t kMaxPackageItems = 65535;
// A package must fit in a stored RAR entry, even one that holds a single
// item larger than any limit.
constexpr std::uint64_t kMaxPackageFileBytes = kMaxStoredRarEntryBytes;

// --max-patch-size: the most bytes one patch archive N.rar (a stored RAR of
// the package N.dat, as publish and pack write it) may hold, unless one
// item alone is larger. The default, and the range the option takes: a
// patch a player fetches in a minute or so on a common line; at least room
// for the archive, the package's header and some items; at most 2 GiB, as
// a larger patch is no size for one download.
constexpr std::uint64_t kDefaultMaxPatchBytes = 64ull << 20;
constexpr std::uint64_t kLeastMaxPatchBytes = 1ull << 10;
constexpr std::uint64_t kMostMaxPatchBytes = 2ull << 30;

// The bytes a package may hold so that its patch archive holds at most
// maxPatchBytes (from kLeastMaxPatchBytes to kMostMaxPatchBytes): less the
// archive's own bytes around the package under the longest name a package
// takes, "65535.dat", so the bound holds whatever number the package gets.
std::uint64_t packageBytesWithin(std::uint64_t maxPatchBytes);

struct PlannedPackage {
  std::uint8_t type = 1;
  std::uint32_t number = 0;  // also the package's version
  std::size_t first = 0;     // position of its first item among the diff's items of that type, in order
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

// The packages of a diff's loose files (the type-4, then the type-3),
// numbered from firstNumber and cut by splitItems at kMaxPackageItems items
// and maxPackageBytes bytes; the type-1 packages are written while the diff
// reads NEW. False when an item is too large for any package or the numbers
// would pass 65535; error says so.
bool planPackages(const ReleaseDiff& diff, std::uint32_t firstNumber, std::uint64_t maxPackageBytes,
                  std::vector<PlannedPackage>* plan, std::string* error);

// The type of a package that holds no item: "data only, no effect"
// (archive/package_format.h). Applied, it changes nothing in the
// installation but its version, which becomes the package's number.
constexpr std::uint8_t kEmptyPackageType = 0;

// Numbers the packages of the output (written so far) and of the plan from
// first on, in order, and plans `padding` empty packages after them, each
// carrying its number. The packages written take their new numbers when
// they are put in place.
void numberPackagesFrom(std::uint32_t first, std::uint32_t padding, PackageOutput* output,
                        std::vector<PlannedPackage>* plan);

// "<number>.dat": the name a package is written under, which publish takes.
std::string packageFileName(std::uint32_t number);
// The inverse: true for "<n>.dat" with n from 0 to 65535 in decimal without
// leading zeros, n in *number.
bool parsePackageFileName(const std::string& name, std::uint32_t* number);

// Where a diff's packages go. Each is written under a hidden temporary name
// first; placePackages gives them their numbered names (and the number in
// their header, when they were written under another) only when all are
// whole and on disk, so outDir never holds a half package, nor some packages
// of a diff without the ones before them. Temporaries not placed are removed
// when the output is dropped, and outDir too when it was made for them and
// nothing was placed: after a failure nothing of the diff is left.
struct PackageOutput {
  std::string outDir;
  // Where packages are cut (see splitItems): packageBytesWithin of the
  // operator's --max-patch-size.
  std::uint64_t maxPackageBytes = packageBytesWithin(kDefaultMaxPatchBytes);
  std::uint32_t nextNumber = 0;          // the number the next package takes
  std::vector<PlannedPackage> packages;  // written so far, in order
  std::vector<std::string> temporaries;  // their temporary paths, in order
  bool madeDirectory = false;            // outDir was missing and is made
  bool placed = false;                   // placePackages succeeded

  PackageOutput() = default;
  PackageOutput(const PackageOutput&) = delete;
  PackageOutput& operator=(const PackageOutput&) = delete;
  ~PackageOutput();
};

// Makes outDir when it is missing (with the first package, or when a diff
// that found nothing is done); false when it cannot be made.
bool makeOutputDirectory(PackageOutput* output, std::string* error);

// How much the key packages grow between flushes while they are written:
// at least this, and at least a sixteenth of what they held at the last
// flush, so that GiBs of packages are flushed some dozens of times, not
// thousands (each flush may cost a slow disk a seek or two). A package
// finished with a flush step or more not yet flushed is flushed then, so
// that little is left to flush when the packages are put in place, however
// the packages are cut.
constexpr std::uint64_t kFlushStep = 2u << 20;
constexpr std::uint64_t kFlushStepShare = 16;

// Writes the type-1 packages key by key, in the order the keys come, cut as
// splitItems cuts them (at output->maxPackageBytes), while the diff is
// still reading NEW. A key's bytes are taken from StoredKey::held, or read
// from NEW's archive.
class KeyPackageWriter {
 public:
  KeyPackageWriter(const InstallTree& newTree, PackageOutput* output) : tree_(newTree), output_(output) {}
  KeyPackageWriter(const KeyPackageWriter&) = delete;
  KeyPackageWriter& operator=(const KeyPackageWriter&) = delete;
  // False when the key cannot be written; error says why.
  bool add(const StoredKey& key, std::string* error);
  // Flushes the open package to the disk once the packages have grown by a
  // flush step since the last flush. The disk takes its time per MiB either
  // way; flushed as they grow while the archives are still read, the flush
  // when the packages are put in place waits for the last step only. False
  // when a flush fails (error says why): the system may have dropped what
  // it could not write, so a later flush that succeeds proves nothing.
  bool flushAsItGrows(std::string* error);
  // Finishes the open package, flushing it first when a flush step or more
  // of it is not flushed yet; false when it cannot be written.
  bool finish(std::string* error);

 private:
  const InstallTree& tree_;
  PackageOutput* output_;
  archive::PackageFileWriter writer_;  // the package being written, when open_
  bool open_ = false;
  std::size_t keys_ = 0;            // added so far, over all packages
  std::uint64_t writtenBytes_ = 0;  // of all key packages so far
  std::uint64_t flushedBytes_ = 0;  // writtenBytes_ at the last flush
  // Makes archive_ NEW's archive that holds the key, open for reading; false
  // when it cannot be opened (error says why). The changed keys lie far
  // apart, so each is read alone, exactly its bytes: a read window would
  // read most of NEW again.
  bool openArchiveOf(const StoredKey& key, std::string* error);
  // The archive opened last and its position in NEW's index, which change
  // together, in openArchiveOf alone. A package's end has nothing to do
  // with them: the keys of the next package come from the same archives.
  platform::File archive_;
  std::uint32_t archiveOpen_ = ~0u;
};

// Writes the planned packages of the loose files, then puts every package of
// the output in place (see PackageOutput). False on any failure, error says
// why. Shows progress on a terminal.
bool writePackages(const InstallTree& newTree, const ReleaseDiff& diff, const std::vector<PlannedPackage>& plan,
                   PackageOutput* output, std::string* error);

}  // namespace vlmpatch
