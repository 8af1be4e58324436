#include "update/download.h"

#include <cstdio>
#include <cstring>

#include "core/display_state.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/status_text.h"
#include "platform/clock.h"
#include "platform/download.h"
#include "platform/file.h"

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
  enterUiLockPatiently();
  displayState.fileProgressMax = 100;
  displayState.fileProgress = progressPercent(progress, maximum);
  requestRepaint();
  downloadProgress.lastProgressTicks = platform::clockTicksMs();
  uiLock->leave();
}

std::string downloadDisplayName(const char* localPath) {
  std::string path(localPath ? localPath : "");
  std::string directory = exeDirectory();
  if (!directory.empty() && path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
      (path[directory.size()] == '\\' || path[directory.size()] == '/')) {
    path.erase(0, directory.size() + 1);
  }
  if (path.size() > kDisplayNameBytes - 1) path.resize(kDisplayNameBytes - 1);
  return path;
}

bool downloadFile(const char* url, const char* localPath) {
  downloadProgress.lastProgressTicks = 0;
  std::string name = downloadDisplayName(localPath);
  updateDisplay([&](DisplayState& state) {
    std::snprintf(state.statusText, sizeof state.statusText, lookupStatusText("DOWNLOAD_PROGRESS"), name.c_str());
    state.fileProgress = 0;
    state.fileProgressMax = 0;
  });
  debugLog("Starting download of: %s", url);

  std::string partial = std::string(localPath) + ".part";
  bool stored = platform::downloadUrlToFile(url, partial.c_str(), reportDownloadProgress) &&
                platform::replaceFileAtomically(partial.c_str(), localPath);
  if (!stored) {
    platform::deleteFile(partial.c_str());
    debugLog("Error downloading : %s", url);
  }
  return stored;
}
