#include "update/game_start.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "core/display_state.h"
#include "core/paths.h"
#include "core/status_text.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/thread.h"

#ifndef VLM_GAME_SERVER
#define VLM_GAME_SERVER "127.0.0.1"
#endif

namespace update {

std::atomic<unsigned> gameStartDelayMs{kGameStartDelayMs};

static std::atomic_flag gameStartClaimed = ATOMIC_FLAG_INIT;

void resetGameStartClaim() { gameStartClaimed.clear(); }

// The four octets of the build's game server address; a malformed setting
// gives 0.0.0.0 rather than a half-read address.
static void gameServerAddress(int octets[4]) {
  int a, b, c, d;
  char rest;
  if (std::sscanf(VLM_GAME_SERVER, "%d.%d.%d.%d%c", &a, &b, &c, &d, &rest) == 4 && a >= 0 && a <= 255 && b >= 0 &&
      b <= 255 && c >= 0 && c <= 255 && d >= 0 && d <= 255) {
    octets[0] = a, octets[1] = b, octets[2] = c, octets[3] = d;
  } else {
    octets[0] = octets[1] = octets[2] = octets[3] = 0;
  }
}

std::string gameClientCommandLine() {
  int o[4];
  gameServerAddress(o);
  return core::formatText("Kelda.exe @HALVORN_MODE@ _server %i.%i.%i.%i", o[0], o[1], o[2], o[3]);
}

// The start message in the start colour, with the lower bar full.
static void showStartMessage() {
  core::updateDisplay([](core::DisplayState& state) {
    core::setStatusText(state, core::lookupStatusText("WAIT_START"));
    state.totalProgress = 1;
    state.totalProgressMax = 1;
    state.textColour = core::kStartTextColour;
  });
}

void requestGameStart() {
  showStartMessage();
  platform::startThread(GameStarter);
}

void GameStarter() {
  if (gameStartClaimed.test_and_set()) return;
  showStartMessage();
  platform::sleepMs(gameStartDelayMs.load());
  platform::startProcess(gameClientCommandLine().c_str());
  platform::exitProcessNow(0);
}

}  // namespace update
