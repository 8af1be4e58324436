// Process start and exit, shared by both platforms: test builds may observe
// them instead (platform/test_hooks.h).
#include "platform/process.h"

#include <cstdlib>

#include "platform/process_internal.h"
#include "platform/test_hooks.h"

namespace platform {

bool startProcess(const char* commandLine) {
#if defined(VLM_TEST_HOOKS)
  const ProcessHooks* hooks = processHooks();
  if (hooks && hooks->start) return hooks->start(commandLine);
#endif
  return startProcessForReal(commandLine);
}

void exitProcessNow(unsigned code) {
#if defined(VLM_TEST_HOOKS)
  const ProcessHooks* hooks = processHooks();
  if (hooks && hooks->exitNow) {
    hooks->exitNow(code);
    endCurrentThread();
  }
#endif
  exitProcessNowForReal(code);
}

void exitProcessNormally(int code) {
#if defined(VLM_TEST_HOOKS)
  const ProcessHooks* hooks = processHooks();
  if (hooks && hooks->exitNormally) {
    hooks->exitNormally(code);
    endCurrentThread();
  }
#endif
  std::exit(code);
}

}  // namespace platform
