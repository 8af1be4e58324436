#include "update/download.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/display_state.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/status_text.h"
#include "platform/clock.h"
#include "platform/download.h"
#include "platform/file.h"
#include "update/versions.h"

namespace update {

DownloadProgress downloadProgress = {0};

std::uint32_t progressPercent(std::uint32_t progress, std::uint32_t maximum) {
  if (maximum == 0) return 0;
  float percent = static_cast<float>(static_cast<double>(progress) / static_cast<double>(maximum) * 100.0);
  // A service that reports far more than its maximum must not overflow the cut.
  if (percent >= 4294967295.0f) return 0xFFFFFFFFu;
  return static_cast<std::uint32_t>(percent);
}

void reportDownloadProgress(std::uint32_t progress, std::uint32_t maximum) {
  // The gate comes before the lock: a dropped report costs one clock reading.
  if (platform::clockTicksMs() - downloadProgress.lastProgressTicks < kProgressGateMs) return;
  core::enterUiLockPatiently();
  core::displayState.fileProgressMax = 100;
  core::displayState.fileProgress = progressPercent(progress, maximum);
  core::requestRepaint();
  downloadProgress.lastProgressTicks = platform::clockTicksMs();
  core::uiLock->leave();
}

std::string downloadDisplayName(const char* localPath) {
  std::string path(localPath ? localPath : "");
  std::string directory = core::exeDirectory();
  if (!directory.empty() && path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
      (path[directory.size()] == '\\' || path[directory.size()] == '/')) {
    path.erase(0, directory.size() + 1);
  }
  if (path.size() > kDisplayNameBytes - 1) path.resize(kDisplayNameBytes - 1);
  return path;
}

// Whether the stored body is the file the release names; the reason otherwise.
static bool matchesRelease(const update::FileDigest& expected, std::uint64_t size, platform::Sha256& hash,
                           std::string* why) {
  update::Sha256Digest digest;
  if (!hash.finish(digest.data())) {
    *why = "the system's hash failed";
    return false;
  }
  if (size != expected.size) {
    *why = "size " + std::to_string(size) + ", the release says " + std::to_string(expected.size);
    return false;
  }
  if (digest != expected.sha256) {
    *why = "SHA-256 " + update::toHex(digest.data(), digest.size()) + ", the release says " +
           update::toHex(expected.sha256.data(), expected.sha256.size());
    return false;
  }
  return true;
}

static bool fileSizeOf(const char* path, std::uint64_t* size) {
  platform::FileHandle file = platform::openFileForReading(path);
  if (file == platform::kNoFile) return false;
  bool known = platform::getFileSize(file, size);
  platform::closeFile(file);
  return known;
}

// The download behind both calls: bounded by maxBytes, and checked against
// expected when given.
static bool download(const char* url, const char* localPath, std::uint64_t maxBytes,
                     const update::FileDigest* expected) {
  downloadProgress.lastProgressTicks = 0;
  std::string name = downloadDisplayName(localPath);
  core::updateDisplay([&](core::DisplayState& state) {
    std::snprintf(state.statusText, sizeof state.statusText, core::lookupStatusText("DOWNLOAD_PROGRESS"), name.c_str());
    state.fileProgress = 0;
    state.fileProgressMax = 0;
  });
  core::debugLog("Starting download of: %s", url);

  std::string partial = std::string(localPath) + kPartialDownloadSuffix;
  platform::DownloadFailure failure = platform::DownloadFailure::kNone;
  platform::Sha256 hash;
  platform::DownloadCheck check;
  check.maxBytes = maxBytes;
  if (expected) check.hash = &hash;
  std::string why;
  std::uint64_t size = 0;
  platform::Status fetched =
      platform::downloadUrlToFile(url, partial.c_str(), reportDownloadProgress, &failure, &check);
  if (!fetched.ok()) {
    why = fetched.reason();
  } else if (expected && (!fileSizeOf(partial.c_str(), &size) || !matchesRelease(*expected, size, hash, &why))) {
    if (why.empty()) why = "the file cannot be read back";
    why = downloadDisplayName(localPath) + ": " + why;
  } else {
    platform::Status placed = platform::replaceFileAtomicallyWithReason(partial.c_str(), localPath);
    if (!placed.ok()) why = "the file could not be put in place: " + placed.reason();
  }
  if (!why.empty()) {
    platform::deleteFile(partial.c_str());
    core::debugLog("Error downloading : %s", url);
    core::debugLog("The download failed: %s.", why.c_str());
  }
  return why.empty();
}

bool downloadFile(const char* url, const char* localPath, const update::FileDigest* expected) {
  return download(url, localPath, expected ? expected->size : platform::kNoDownloadLimit, expected);
}

bool downloadFileUpTo(const char* url, const char* localPath, std::uint64_t maxBytes) {
  return download(url, localPath, maxBytes, nullptr);
}

namespace {

// The base URL of the server that served the last good download of this
// run; empty when none has yet. Kept as the URL rather than a place in the
// list, so a list that changed under it (tests point one process at many
// servers) simply starts again at its first server. The update worker alone
// downloads; no lock.
std::string lastGoodServer;

// Where a download begins in urls: at lastGoodServer, else at the first.
std::size_t firstToTry(const std::vector<std::string>& urls) {
  auto found = std::find(urls.begin(), urls.end(), lastGoodServer);
  return found == urls.end() ? 0 : static_cast<std::size_t>(found - urls.begin());
}

}  // namespace

void beginPatchServerRun() {
  lastGoodServer.clear();
  std::vector<std::string> urls = patchBaseUrls();
  if (urls.size() < 2) return;
  std::string names;
  for (const std::string& url : urls) names += (names.empty() ? "" : ", ") + url;
  core::debugLog("Patch servers: %s", names.c_str());
}

std::string currentPatchServer() {
  std::vector<std::string> urls = patchBaseUrls();
  return urls.empty() ? std::string() : urls[firstToTry(urls)];
}

bool tryPatchServers(const std::string& what, const std::function<bool(const std::string& baseUrl)>& attempt) {
  const std::vector<std::string> urls = patchBaseUrls();
  if (urls.empty()) {
    core::debugLog("%s: no patch server is set.", what.c_str());
    return false;
  }
  const std::size_t first = firstToTry(urls);
  for (std::size_t i = 0; i < urls.size(); ++i) {
    const std::string& url = urls[(first + i) % urls.size()];
    if (attempt(url)) {
      lastGoodServer = url;
      return true;
    }
    if (i + 1 < urls.size()) {
      core::debugLog("%s: %s failed; trying the next patch server: %s", what.c_str(), url.c_str(),
                     urls[(first + i + 1) % urls.size()].c_str());
    }
  }
  if (urls.size() > 1) core::debugLog("%s: every patch server failed.", what.c_str());
  return false;
}

bool downloadFromPatchServers(const std::string& name, const char* localPath, const update::FileDigest* expected) {
  return tryPatchServers(name, [&](const std::string& baseUrl) {
    return downloadFile((baseUrl + "/" + name).c_str(), localPath, expected);
  });
}

bool downloadFromPatchServersUpTo(const std::string& name, const char* localPath, std::uint64_t maxBytes) {
  return tryPatchServers(name, [&](const std::string& baseUrl) {
    return downloadFileUpTo((baseUrl + "/" + name).c_str(), localPath, maxBytes);
  });
}

}  // namespace update
