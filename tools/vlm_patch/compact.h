// Compacting an installation: rewriting its archives without the bytes of
// replaced files that nothing refers to any more.
//
// Crash-safe at every moment. Each archive that holds unreferenced bytes is
// copied, live entries only and in list order, into a new file under a new
// name ("GAME0.VFS" becomes "GAME0~1.VFS", then "GAME0~2.VFS", ...), which is
// flushed to disk. Only then is the new "data.idx" written beside the old one,
// flushed and put in its place in one atomic step; until that moment the old
// index and the old archives, untouched, are the installation. The old
// archive files are deleted last. An interrupted run leaves at most some
// unlisted "~N" files, which the next run overwrites.
#pragma once

#include <cstdint>
#include <string>

namespace vlmpatch {

struct CompactResult {
  std::uint64_t bytesBefore = 0;
  std::uint64_t bytesAfter = 0;
  int archivesRewritten = 0;
};

// Compacts the installation in the working directory.
bool compactInstallation(CompactResult* result, std::string* error);

// The name an archive gets when it is rewritten: the generation tag before
// ".VFS" raised by one; a name that would pass 31 bytes becomes "C<n>.VFS".
std::string compactedArchiveName(const std::string& name, int archive);

}  // namespace vlmpatch
