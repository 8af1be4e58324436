// The test hooks of process start and exit, shared by both platforms.
#include "platform/process.h"

#include "platform/process_internal.h"

#include <atomic>
#include <cstdlib>

namespace platform {

static std::atomic<const ProcessHooks*> processHooks{nullptr};

void setProcessHooks(const ProcessHooks* hooks) { processHooks = hooks; }

bool startProcess(const char* commandLine) {
  const ProcessHooks* hooks = processHooks.load();
  if (hooks && hooks->start) return hooks->start(commandLine);
  return startProcessForReal(commandLine);
}

void exitProcessNow(unsigned code) {
  const ProcessHooks* hooks = processHooks.load();
  if (hooks && hooks->exitNow) {
    hooks->exitNow(code);
    endCurrentThread();
  }
  exitProcessNowForReal(code);
}

void exitProcessNormally(int code) {
  const ProcessHooks* hooks = processHooks.load();
  if (hooks && hooks->exitNormally) {
    hooks->exitNormally(code);
    endCurrentThread();
  }
  std::exit(code);
}

}  // namespace platform
