// Unpacking a patch archive (RAR) into the working directory.
#pragma once

namespace update {

// Extracts the entries of the archive at archivePath:
//  - directory entries and link entries are skipped;
//  - an entry whose stored name contains "ext" is written under its name
//    less the first four characters (an entry stored as ext\name lands as
//    name), replacing a file of that name;
//  - every other file entry is written under targetName, or under its own
//    name when targetName is null.
// A name is written only when it passes isInstallRelativeName (the rule for
// every name a patch brings), is none of the files the archive set keeps
// open, and no link (symbolic link, junction) lies on its way or in its
// place, and no directory on its way is the package's name (targetName,
// compared as Windows compares names: such a name would make a directory
// where the package goes); other names are skipped and the trace says so.
// The package's own name is the exception: when a link lies on its way the
// extraction fails instead, since skipping it would drop the package.
//
// A file of the installation is written under a temporary name beside its
// own (the name with ".vlm-part" added) and put in place once the library
// reports it whole, so a name holds either its old file or the new one, the
// change reaches the disk, and a replaced file keeps its permissions. The
// package (targetName), which is read once and deleted, is written straight
// under its name: a file of that name that is there before is deleted
// first (a directory with all it holds, never through a link: one inside
// fails the extraction, the trace naming it), and one that fails is
// deleted, so after a true result targetName holds this archive's package
// whole, or nothing.
//
// True when the archive was opened and read to its end without an error;
// an intact archive that holds no entry for targetName (only directories,
// or only "ext" entries) gives true as well. False, with
// "Falha ao extrair.\n" on standard output, when the archive cannot be
// opened, when the library reports an error for an entry it extracts
// (damaged or cut-short data, a wrong checksum, a file it cannot write), or
// when it stops reading headers with anything but the end of the archive:
// the trace then names the entry and the library's error (with the
// system's reason when a file could not be created or written), and a package
// this call wrote under targetName is deleted. Files that earlier "ext"
// entries replaced stay replaced.
bool extractPatchArchive(const char* archivePath, const char* targetName);

}  // namespace update
