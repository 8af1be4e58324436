#include "update/versions.h"

#include <cstdio>
#include <cstdlib>

#include "core/paths.h"
#include "platform/file.h"

#ifndef VLM_PATCH_HOST
#define VLM_PATCH_HOST "127.0.0.1:8080"
#endif

LauncherVersions launcherVersions = {};

void resetLauncherVersions() { launcherVersions = LauncherVersions{}; }

std::string patchBaseUrl() {
  const char* custom = std::getenv("VLM_PATCH_BASE_URL");
  if (custom && *custom) return custom;
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
// fields it holds. False when the file cannot be opened.
static bool readNumbers(const char* path, std::uint32_t* const* fields, int count) {
  std::FILE* file = platform::openStdioFile(path, "rb");
  if (!file) return false;
  for (int i = 0; i < count; ++i) {
    unsigned char bytes[4];
    if (std::fread(bytes, 1, 4, file) != 4) break;
    *fields[i] = readLittleEndian32(bytes);
  }
  std::fclose(file);
  return true;
}

bool readPatchList(const char* path) {
  std::uint32_t* const fields[] = {&launcherVersions.latestPatch, &launcherVersions.latestLauncher,
                                   &launcherVersions.latestClient};
  return readNumbers(path, fields, 3);
}

// Built as a whole string: a deep launcher directory must not be cut.
static std::string versionFilePath() { return exeDirectory() + "\\cver.v"; }

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
  std::string temporary = path + ".new";
  if (!writeVersionsTo(temporary) || !platform::replaceFileAtomically(temporary.c_str(), path.c_str())) {
    platform::deleteFile(temporary.c_str());
    return false;
  }
  return true;
}
