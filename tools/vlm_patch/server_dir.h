// The patch server's directory, as an operator changes it.
//
// Files: "patch.hpl" (three little-endian 32-bit numbers: latest patch,
// latest launcher, latest client), "Start VLM.exe", "Kelda.exe" and the
// numbered patches "N.rar", each holding the package "N.dat".
//
// Every change is atomic for the players: a new file is written under a
// hidden temporary name (a leading dot, which the served configuration
// refuses) in the same directory, flushed to disk and renamed into place; the
// patch list is raised only after the file it announces is in place. So a
// launcher never sees a half-written file, nor a number whose file is missing.
#pragma once

#include <cstdint>
#include <string>

namespace vlmpatch {

struct PatchList {
  std::uint32_t latestPatch = 0;
  std::uint32_t latestLauncher = 0;
  std::uint32_t latestClient = 0;
};

// "dir" + separator + name.
std::string joinPath(const std::string& dir, const std::string& name);

// Reads "patch.hpl"; a missing file reads as all zeros, a short one keeps
// zeros for what it lacks (as the launcher reads it).
bool readServerPatchList(const std::string& serverDir, PatchList* list, std::string* error);
// Replaces "patch.hpl" atomically.
bool writeServerPatchList(const std::string& serverDir, const PatchList& list, std::string* error);

// Puts bytes at dir/name atomically.
bool placeBytesAtomically(const std::string& dir, const std::string& name, const std::string& bytes,
                          std::string* error);
// Copies the file source to dir/name atomically.
bool placeFileAtomically(const std::string& dir, const std::string& name, const std::string& source,
                         std::string* error);
// Flushes the finished temporary file of dir/name to disk and renames it
// into place.
bool commitTemporary(const std::string& dir, const std::string& name, std::string* error);
// The hidden temporary name used beside dir/name while it is written.
std::string temporaryNameFor(const std::string& dir, const std::string& name);

}  // namespace vlmpatch
