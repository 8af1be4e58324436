// The test hooks' state (platform/test_hooks.h): in test builds only.
#include "platform/test_hooks.h"

#if defined(VLM_TEST_HOOKS)

#include <atomic>
#include <cstdlib>

#include "platform/process.h"

namespace platform {

namespace {

// Workers read the pointers while a test's main thread sets them.
std::atomic<const ProcessHooks*> processHooksSet{nullptr};
std::atomic<MessageBoxHandler> messageBoxHandlerSet{nullptr};
std::atomic<const FileSystemHooks*> fileSystemHooksSet{nullptr};
// Set between runs, never while a worker runs.
std::string rarReaderPath;
std::atomic<unsigned> rarReaderIdleLimitMs{0};
std::string trustedKeys;

}  // namespace

void setProcessHooks(const ProcessHooks* hooks) { processHooksSet = hooks; }
const ProcessHooks* processHooks() { return processHooksSet.load(); }

void setMessageBoxHandler(MessageBoxHandler handler) { messageBoxHandlerSet = handler; }
MessageBoxHandler messageBoxHandler() { return messageBoxHandlerSet.load(); }

void setFileSystemHooks(const FileSystemHooks* hooks) { fileSystemHooksSet = hooks; }

void setRarReaderForTests(const char* path, unsigned idleLimitMs) {
  rarReaderPath = path ? path : "";
  rarReaderIdleLimitMs = idleLimitMs;
}
std::string rarReaderPathForTests() { return rarReaderPath; }
unsigned rarReaderIdleLimitMsForTests() { return rarReaderIdleLimitMs.load(); }

void setTrustedKeysForTests(const std::string& keys) { trustedKeys = keys; }
const std::string& trustedKeysForTests() {
  // A whole launcher under test (its own process) takes its keys from the
  // environment, as it takes its patch servers: a test sets none in it.
  static const std::string fromEnvironment = [] {
    const char* keys = std::getenv("VLM_TEST_TRUSTED_KEYS");
    return std::string(keys ? keys : "");
  }();
  return trustedKeys.empty() ? fromEnvironment : trustedKeys;
}

void resetTestHooks() {
  setProcessHooks(nullptr);
  setMessageBoxHandler(nullptr);
  setFileSystemHooks(nullptr);
  setRarReaderForTests(nullptr, 0);
  setTrustedKeysForTests("");
}

void powerLossPoint() {
  static std::atomic<long> count{0};
  static const char* at = std::getenv("VLM_CRASH_AT_POINT");
  if (at && ++count == std::atol(at)) exitProcessNow(75);
}

bool testFailsWrite(FileHandle file, std::uint64_t offset, std::size_t size) {
  const FileSystemHooks* hooks = fileSystemHooksSet.load();
  return hooks && hooks->failWrite && hooks->failWrite(file, offset, size);
}

bool testFailsFlush(FileHandle file) {
  const FileSystemHooks* hooks = fileSystemHooksSet.load();
  return hooks && hooks->failFlush && hooks->failFlush(file);
}

bool testFailsReplace(const char* from, const char* to) {
  const FileSystemHooks* hooks = fileSystemHooksSet.load();
  return hooks && hooks->failReplace && hooks->failReplace(from, to);
}

}  // namespace platform

#endif
