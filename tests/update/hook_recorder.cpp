#include "hook_recorder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/message_box.h"
#include "platform/process.h"
#include "platform/test_hooks.h"
#include "platform/thread.h"

namespace {

std::mutex guard;
std::condition_variable changed;
RecordedEffects effects;
std::atomic<void (*)()> workerBody{nullptr};
std::atomic<bool> workerDone{false};

void recordBox(const char* text, const char* caption) {
  std::lock_guard<std::mutex> lock(guard);
  effects.boxes.emplace_back(text ? text : "", caption ? caption : "");
  changed.notify_all();
}

bool recordStart(const char* commandLine) {
  std::lock_guard<std::mutex> lock(guard);
  effects.starts.emplace_back(commandLine ? commandLine : "");
  changed.notify_all();
  return true;
}

void recordExitNow(unsigned code) {
  std::lock_guard<std::mutex> lock(guard);
  effects.exitsNow.push_back(code);  // the game starter's end, not the worker's
  changed.notify_all();
}

void recordExitNormally(int code) {
  std::lock_guard<std::mutex> lock(guard);
  effects.exitsNormally.push_back(code);
  workerDone = true;  // the worker's self-update ends it here
  changed.notify_all();
}

const platform::ProcessHooks recorderHooks = {recordStart, recordExitNow, recordExitNormally};

template <class Ready>
bool waitFor(Ready ready, int timeoutMs) {
  std::unique_lock<std::mutex> lock(guard);
  return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

void runWorker() {
  workerBody.load()();
  std::lock_guard<std::mutex> lock(guard);
  workerDone = true;
  changed.notify_all();
}

}  // namespace

void installRecorders() {
  {
    std::lock_guard<std::mutex> lock(guard);
    effects = RecordedEffects{};
  }
  platform::setMessageBoxHandler(recordBox);
  platform::setProcessHooks(&recorderHooks);
}

void removeRecorders() {
  // A game starter that has started the client is about to end the process:
  // let it reach the hook first, or it would end the real process.
  bool started;
  {
    std::lock_guard<std::mutex> lock(guard);
    started = !effects.starts.empty();
  }
  if (started) waitForExit(10000);
  platform::setMessageBoxHandler(nullptr);
  platform::setProcessHooks(nullptr);
}

RecordedEffects recordedEffects() {
  std::lock_guard<std::mutex> lock(guard);
  return effects;
}

bool waitForStarts(std::size_t count, int timeoutMs) {
  return waitFor([count] { return effects.starts.size() >= count; }, timeoutMs);
}

bool waitForExit(int timeoutMs) {
  return waitFor([] { return !effects.exitsNow.empty() || !effects.exitsNormally.empty(); }, timeoutMs);
}

bool runOnWorkerThread(void (*body)(), int timeoutMs) {
  workerBody = body;
  workerDone = false;
  if (!platform::startThread(runWorker)) return false;
  return waitFor([] { return workerDone.load(); }, timeoutMs);
}
