// Unpacking a patch archive (RAR) into the working directory.
#pragma once

// Extracts the entries of the archive at archivePath:
//  - directory entries are skipped;
//  - an entry whose stored name contains "ext" is written under its name
//    less the first four characters (an entry stored as ext\name lands as
//    name), replacing a file of that name;
//  - every other file entry is written under targetName, or under its own
//    name when targetName is null.
// Names that would leave the working directory (absolute, a drive, "..")
// are skipped, and links are never created. True when the archive was
// opened, whatever became of its entries; false (and "Falha ao extrair.\n"
// on standard output) when it cannot be opened.
bool extractPatchArchive(const char* archivePath, const char* targetName);

// True when a relative name stays inside the working directory: not empty,
// not absolute, no drive letter, no ".." part.
bool staysInWorkingDirectory(const char* name);
