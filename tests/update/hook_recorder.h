// Records what the update code would show and start: message boxes, process
// starts and process exits, through the platform's test hooks. A real box
// would wait for a player and a real exit would end the test.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct RecordedEffects {
  std::vector<std::pair<std::string, std::string>> boxes;  // text, caption
  std::vector<std::string> starts;                         // command lines
  std::vector<unsigned> exitsNow;
  std::vector<int> exitsNormally;
};

// Installs the recorders and forgets what was recorded before.
void installRecorders();
// Puts the real calls back.
void removeRecorders();
RecordedEffects recordedEffects();

// Waits until at least count process starts were recorded; false on time-out.
bool waitForStarts(std::size_t count, int timeoutMs = 10000);
// Waits until some exit (either kind) was recorded; false on time-out.
bool waitForExit(int timeoutMs = 10000);

// Runs body on a platform thread (as the entry starts the update worker) and
// waits until it returned or ended its thread through a hooked exit.
// False on time-out.
bool runOnWorkerThread(void (*body)(), int timeoutMs = 120000);
