// Applying one extracted patch package to the installation.
#pragma once

#include <cstdint>

#include "platform/status.h"

namespace archive {

// Loads the package at path and performs its items in order: type 1 stores
// each item's data in the archive set, type 3 writes it as the named file,
// type 4 deletes the named file, other types do nothing. A type 3 or 4 item
// fails when its name leaves the installation or passes through a symbolic
// link, junction or other reparse point (nothing is written or deleted
// through one), and is skipped, traced, when it names "data.idx", its
// temporary file or an archive of the set; except that a type 3 item naming
// an archive that is open or whose file is there fails. Shows the progress
// on the status line and the lower bar. Once every item has succeeded, the
// package's version becomes the set's baseVersion and "data.idx" is saved.
// False when the package cannot be loaded or at the first failing item; the
// items before it keep their effect and the index is not written. The
// package file is gone when this returns, whatever the outcome. A failed
// index write is traced but not reported: the next run applies the package
// again.
bool applyPatchPackage(const char* path);

struct ArchiveSet;
struct PatchPackage;

// The room applying a loaded package takes on the installation's volume,
// counted before its first item; the package file itself is there already
// (its items are read from it in place) and is not counted again:
//  - type 1: every item's data, appended to the archives, plus one block for
//    the current archive's last, partly filled block and one for each new
//    archive the appends may open (one per kArchiveSizeLimit of data, and
//    one more);
//  - type 3: every item's data written as a file, each rounded up to whole
//    blocks (a file it replaces is not counted as freed: it is cut only when
//    its item comes);
//  - every type: the index rewrite, whose temporary file lies beside the
//    present index until it replaces it: the index as it will be (the set's
//    indexFileSize, 12 bytes an entry added, an archive record of at most
//    36 bytes per new archive), rounded up to whole blocks.
// A block is kSpaceBlock bytes, the file systems' usual allocation unit.
constexpr std::uint64_t kSpaceBlock = 4096;
std::uint64_t spaceToApply(const PatchPackage& package, const ArchiveSet& set);

// Whether applying checks the room first (the launcher does; the operator's
// tool applies as asked).
enum class SpaceCheck { kNone, kBeforeItems };

// The room was too small for a package: nothing was applied.
struct SpaceShortage {
  bool tooLittle = false;
  std::uint64_t needed = 0;     // spaceToApply
  std::uint64_t available = 0;  // platform::freeSpace of the working directory
};

// What applying a package came to, with the reasons.
struct [[nodiscard]] PatchOutcome {
  // The package loaded and every item succeeded; else why not, naming the
  // record or item ("item 12: data runs past the package end ...").
  platform::Status items;
  // "data.idx" was written after the items; a failure when it was not (or
  // was not tried because an item failed).
  platform::Status indexSaved;
  // With SpaceCheck::kBeforeItems: the room on the installation's volume
  // (the working directory's) was measured after the package loaded and
  // found below spaceToApply. No item was performed then, `items` is a
  // failure saying so, and the package file is gone as after any failure.
  // When the system cannot say how much room there is, the trace says why
  // and the package is applied.
  SpaceShortage space;
};

// Whose version the set has once a package is applied: the package's (a
// numbered patch), or the set's own, kept (a repair pack, which carries
// none: the repair gives the set its version once every pack is in).
enum class SetVersion { kFromPackage, kKept };

// applyPatchPackage, giving both outcomes: for the operator's tool, which
// reports a failed index write rather than passing over it, and the repair.
PatchOutcome applyPatchPackageWithOutcome(const char* path, SpaceCheck check = SpaceCheck::kNone,
                                          SetVersion version = SetVersion::kFromPackage);

}  // namespace archive
