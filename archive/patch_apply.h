// Applying one extracted patch package to the installation.
#pragma once

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

// What applying a package came to, with the reasons.
struct [[nodiscard]] PatchOutcome {
  // The package loaded and every item succeeded; else why not, naming the
  // record or item ("item 12: data runs past the package end ...").
  platform::Status items;
  // "data.idx" was written after the items; a failure when it was not (or
  // was not tried because an item failed).
  platform::Status indexSaved;
};

// Whose version the set has once a package is applied: the package's (a
// numbered patch), or the set's own, kept (a repair pack, which carries
// none: the repair gives the set its version once every pack is in).
enum class SetVersion { kFromPackage, kKept };

// applyPatchPackage, giving both outcomes: for the operator's tool, which
// reports a failed index write rather than passing over it, and the repair.
PatchOutcome applyPatchPackageWithOutcome(const char* path, SetVersion version = SetVersion::kFromPackage);

}  // namespace archive
