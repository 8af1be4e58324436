// Version records and the names on the patch server.
//
// "patch.hpl" (published, fetched every run), 12 bytes, little-endian:
//   0 latestPatch u32 | 4 latestLauncher u32 | 8 latestClient u32
//   Bytes after the twelfth are ignored; a short file leaves the missing
//   fields as they were.
// "cver.v" (beside the launcher), 8 bytes, little-endian:
//   0 launcherVersion u32 | 4 clientVersion u32
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct LauncherVersions {
  std::uint32_t latestPatch;
  std::uint32_t latestLauncher;
  std::uint32_t latestClient;
  std::uint32_t launcherVersion;
  std::uint32_t clientVersion;
};

// Used by the update worker alone; no lock.
extern LauncherVersions launcherVersions;

// Back to all zeros, as at start-up (tests run many passes in one process).
void resetLauncherVersions();

// The patch server's base URL: "http://" + the build's patch host +
// "/vlm/patch". In builds for tests and demos (VLM_TEST_HOOKS), the
// environment variable VLM_PATCH_BASE_URL, when set and not empty, takes its
// place, so a test or a demo can point the build at a server of its own; a
// release build ignores the environment.
std::string patchBaseUrl();
// The patch list's URL: the base URL and "/patch.hpl".
std::string patchListUrl();

constexpr std::size_t kPatchListBytes = 12;

// Reads the published numbers from a patch list file; false when it cannot
// be opened (the fields are then unchanged). A list shorter than 12 bytes is
// read as far as it goes and the trace says so, with its length:
// "The patch list is short: <n> of 12 bytes; ...".
bool readPatchList(const char* path);

// Download target of the new client executable, beside the launcher.
constexpr const char* kNewClientName = "Kelda.bin";

// "cver.v" is written whole under this name beside it, then put in place.
constexpr const char* kVersionFileTempName = "cver.v.new";

// Reads "%s\cver.v"; creates it with the current values when it is missing.
// False only when it can be neither read nor created.
bool readVersionFile();
// Writes "%s\cver.v" with the current values. The new file replaces the old
// one whole, so a failed write never leaves half a record. Callers ignore
// the outcome: the next run simply tries the update again.
bool writeVersionFile();

// The little-endian number at p.
std::uint32_t readLittleEndian32(const unsigned char* p);
void writeLittleEndian32(unsigned char* p, std::uint32_t value);
