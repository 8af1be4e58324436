// Starting the game client at the end of a run.
#pragma once

#include <atomic>
#include <string>

namespace update {

// Shows the start message in gold with a full lower bar and starts a
// GameStarter thread; returns at once. Every call starts a thread; only the
// first thread goes on.
void requestGameStart();

// Thread body: claims the one game start (atomically), shows the start
// message, waits three seconds, starts the client with its command line and
// ends the process at once (platform::exitProcessNow). A thread that finds
// the start already claimed ends without doing anything.
void GameStarter();

// "Kelda.exe @HALVORN_MODE@ _server a.b.c.d" with the build's game server.
// The same text on both systems: on Linux the process seam starts the Linux
// client "Kelda" beside the launcher for it, the client this launcher
// updates (platform/linux/process_linux.cpp).
std::string gameClientCommandLine();

// The wait before the client starts; tests shorten it.
extern std::atomic<unsigned> gameStartDelayMs;
constexpr unsigned kGameStartDelayMs = 3000;

// Clears the claim, as at start-up. Only for tests, which run many starts in
// one process.
void resetGameStartClaim();

}  // namespace update
