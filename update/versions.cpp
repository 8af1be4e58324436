#include "update/versions.h"

#include <cstdio>
#include <cstdlib>

#include "core/log.h"
#include "core/paths.h"
#include "platform/file.h"

#ifndef VLM_PATCH_HOST
#define VLM_PATCH_HOST "127.0.0.1:8080"
#endif

LauncherVersions launcherVersions = {};

void resetLauncherVersions() { launcherVersions = LauncherVersions{}; }

std::string patchBaseUrl() {
#if defined(VLM_TEST_HOOKS)
  // Test and demo builds only: a release launcher runs elevated, and a
  // variable any user can set must not point it at another server.
  const char* custom = std::getenv("VLM_PATCH_BASE_URL");
  if (custom && *custom) return custom;
#endif
  return std::string("http://") + VLM_PATCH_HOST + "/vlm/patch";
}

std::string patchListUrl() { return patchBaseUrl() + "/patch.hpl"; }

std::uint32_t readLittleEndian32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void writeLittleEndian32(unsigned char* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Reads up to count 32-bit numbers into fields; a short file fills only the
// fields it holds. False when the file cannot be opened; *length (when
// given) is how many of the count * 4 bytes the file held.
static bool readNumbers(const char* path, std::uint32_t* const* fields, int count, std::size_t* length = nullptr) {
  std::FILE* file = platform::openStdioFile(path, "rb");
  if (!file) return false;
  unsigned char bytes[16];
  std::size_t wanted = static_cast<std::size_t>(count) * 4;
  std::size_t held = std::fread(bytes, 1, wanted <= sizeof bytes ? wanted : sizeof bytes, file);
  std::fclose(file);
  for (std::size_t i = 0; (i + 1) * 4 <= held; ++i) *fields[i] = readLittleEndian32(bytes + 4 * i);
  if (length) *length = held;
  return true;
}

bool readPatchList(const char* path) {
  std::uint32_t* const fields[] = {&launcherVersions.latestPatch, &launcherVersions.latestLauncher,
                                   &launcherVersions.latestClient};
  std::size_t length = 0;
  if (!readNumbers(path, fields, 3, &length)) return false;
  // Served whole with a success status, a short list (an empty file, say)
  // would otherwise pass for "nothing new".
  if (length < kPatchListBytes) {
    debugLog("The patch list is short: %u of %u bytes; the values it does not hold keep their previous values.",
             static_cast<unsigned>(length), static_cast<unsigned>(kPatchListBytes));
  }
  return true;
}

// Built as whole strings: a deep launcher directory must not be cut.
static std::string versionFilePath() { return exeDirectory() + "\\cver.v"; }
static std::string versionTempPath() { return exeDirectory() + "\\" + kVersionFileTempName; }

// Writes both installed versions to path; true when all 8 bytes were written.
static bool writeVersionsTo(const std::string& path) {
  unsigned char bytes[8];
  writeLittleEndian32(bytes, launcherVersions.launcherVersion);
  writeLittleEndian32(bytes + 4, launcherVersions.clientVersion);
  platform::FileHandle file = platform::createFile(path.c_str());
  if (file == platform::kNoFile) return false;
  bool ok = platform::writeFileAt(file, 0, bytes, sizeof bytes) && platform::flushFileToDisk(file);
  platform::closeFile(file);
  return ok;
}

bool readVersionFile() {
  std::string path = versionFilePath();
  std::uint32_t* const fields[] = {&launcherVersions.launcherVersion, &launcherVersions.clientVersion};
  if (readNumbers(path.c_str(), fields, 2)) return true;
  return writeVersionsTo(path);
}

bool writeVersionFile() {
  std::string path = versionFilePath();
  std::string temporary = versionTempPath();
  if (!writeVersionsTo(temporary) || !platform::replaceFileAtomically(temporary.c_str(), path.c_str())) {
    platform::deleteFile(temporary.c_str());
    return false;
  }
  return true;
}
