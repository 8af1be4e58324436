// Applying one extracted patch package to the installation.
#pragma once

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
// package file is gone when this returns, whatever the outcome.
bool applyPatchPackage(const char* path);
