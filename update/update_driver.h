// The update worker: one pass per launcher run that brings the launcher, the
// game client and the game data up to what the patch server publishes.
#pragma once

#include <cstdint>

#include "archive/quick_check.h"

namespace update {

// Thread body: loads the archive index, checks the installation, runs the
// update and fills both bars.
void UpdateWorker();

// Loads the archive index (archive::loadIndexWithReason) and makes the quick
// check of the installation (archive/quick_check.h) on what it loaded; an
// index that was not loaded gives the result that says it cannot be read.
// The trace gets one line for a sound installation and, for a damaged one,
// one line per damaged archive. The result is kept (startCheck) for the
// steps that act on it; the update itself goes on as before either way.
const archive::QuickCheckResult& loadAndCheckInstallation();

// The result of the last loadAndCheckInstallation of this process; one that
// says the index was not read before any ran.
const archive::QuickCheckResult& startCheck();

// One pass: remove what an earlier run left half-done (update/leftovers.h),
// fetch the patch list, update the executables, run the patch loop, request
// the game start (not after a failed patch loop, nor without an archive
// index, in which case nothing at all is done).
void runUpdate();

// Reads the patch list and "cver.v" and updates the executables. Returns the
// first patch number to apply, or 0 when no patch loop is to run. May end the
// process (self-update) and may request the game start itself.
std::uint16_t checkForUpdates();

// A patch list holds 20 bytes; a server that sends more than this is not
// sending a patch list, and an endless one must not fill the disk.
constexpr unsigned kMaxPatchListSize = 64 * 1024;

// The client update's wait before it fetches; tests shorten it.
constexpr unsigned kClientUpdateWaitMs = 200;

}  // namespace update
