#include "update/versions.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "archive/byte_order.h"
#include "core/log.h"
#include "core/paths.h"
#include "platform/file.h"

#ifndef VLM_PATCH_HOST
#define VLM_PATCH_HOST "127.0.0.1:8080"
#endif

namespace update {

LauncherVersions launcherVersions = {};

void resetLauncherVersions() { launcherVersions = LauncherVersions{}; }

std::vector<std::string> splitPatchServerList(const std::string& list) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start <= list.size()) {
    std::size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string entry = list.substr(start, end - start);
    std::size_t first = entry.find_first_not_of(" \t");
    if (first != std::string::npos) {
      entry = entry.substr(first, entry.find_last_not_of(" \t") + 1 - first);
      if (std::find(entries.begin(), entries.end(), entry) == entries.end()) entries.push_back(entry);
    }
    start = end + 1;
  }
  return entries;
}

std::vector<std::string> baseUrlsOfPatchHosts(const std::string& hosts) {
  std::vector<std::string> urls;
  for (const std::string& host : splitPatchServerList(hosts)) urls.push_back("http://" + host + "/vlm/patch");
  return urls;
}

std::vector<std::string> patchBaseUrls() {
#if defined(VLM_TEST_HOOKS)
  // Test and demo builds only: a release launcher runs elevated, and a
  // variable any user can set must not point it at another server.
  const char* custom = std::getenv("VLM_PATCH_BASE_URL");
  if (custom) {
    std::vector<std::string> urls = splitPatchServerList(custom);
    if (!urls.empty()) return urls;
  }
#endif
  static const std::vector<std::string> fromBuild = baseUrlsOfPatchHosts(VLM_PATCH_HOST);
  return fromBuild;
}

std::string patchBaseUrl() {
  std::vector<std::string> urls = patchBaseUrls();
  return urls.empty() ? std::string() : urls.front();
}

std::string patchListUrl() { return patchBaseUrl() + "/patch.hpl"; }

// Reads up to count 32-bit numbers into fields; a short file fills only the
// fields it holds. False when the file cannot be opened.
static bool readNumbers(const char* path, std::uint32_t* const* fields, int count) {
  std::FILE* file = platform::openStdioFile(path, "rb");
  if (!file) return false;
  unsigned char bytes[16];
  std::size_t wanted = static_cast<std::size_t>(count) * 4;
  std::size_t held = std::fread(bytes, 1, wanted <= sizeof bytes ? wanted : sizeof bytes, file);
  std::fclose(file);
  for (std::size_t i = 0; (i + 1) * 4 <= held; ++i) *fields[i] = archive::getU32(bytes + 4 * i);
  return true;
}

bool readPatchList(const char* path) {
  std::FILE* file = platform::openStdioFile(path, "rb");
  if (!file) return false;
  unsigned char bytes[kFullPatchListBytes];
  std::size_t length = std::fread(bytes, 1, sizeof bytes, file);
  std::fclose(file);
  PatchList list;
  list.latestPatch = launcherVersions.latestPatch;
  list.of(kThisPlatform) = {launcherVersions.latestLauncher, launcherVersions.latestClient};
  decodePatchList(bytes, length, &list);
  launcherVersions.latestPatch = list.latestPatch;
  launcherVersions.latestLauncher = list.of(kThisPlatform).launcher;
  launcherVersions.latestClient = list.of(kThisPlatform).client;
  // Served whole with a success status, a short list (an empty file, say)
  // would otherwise pass for "nothing new".
  if (length < kPatchListBytes) {
    core::debugLog("The patch list is short: %u of %u bytes; the values it does not hold keep their previous values.",
                   static_cast<unsigned>(length), static_cast<unsigned>(kPatchListBytes));
  }
  return true;
}

// Built as whole strings: a deep launcher directory must not be cut.
static std::string versionFilePath() { return core::exeDirectory() + "\\cver.v"; }
static std::string versionTempPath() { return core::exeDirectory() + "\\" + kVersionFileTempName; }

// Writes both installed versions to path; true when all 8 bytes were written.
static bool writeVersionsTo(const std::string& path) {
  unsigned char bytes[8];
  archive::setU32(bytes, launcherVersions.launcherVersion);
  archive::setU32(bytes + 4, launcherVersions.clientVersion);
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

}  // namespace update
