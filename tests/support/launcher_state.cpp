#include "support/launcher_state.h"

#include "archive/index.h"
#include "core/display_state.h"
#include "core/status_text.h"
#include "platform/download.h"
#include "platform/test_hooks.h"
#include "update/game_start.h"
#include "update/release_verify.h"
#include "update/versions.h"

void resetLauncherState() {
  platform::resetTestHooks();
  platform::setDownloadLimits(platform::kDefaultDownloadLimits);
  core::languageSetting = 0;
  core::resetDisplayState(core::displayState);
  core::displayState.textColour = core::kDefaultTextColour;
  core::setRepaintHandler(nullptr);
  archive::closeArchiveSet(archive::archiveSet);
  archive::indexLoaded = false;
  archive::installedVersion = 0;
  update::resetLauncherVersions();
  update::resetGameStartClaim();
  update::gameStartDelayMs = update::kGameStartDelayMs;
  update::resetAcceptedRelease();
}
