// The unnamed lock on Windows: a kernel mutex.
#include "platform/mutex.h"

#include <windows.h>

namespace platform {

MutexHandle createMutex() { return CreateMutexA(nullptr, FALSE, nullptr); }

bool waitMutex(MutexHandle mutex, unsigned timeoutMs) {
  DWORD result = WaitForSingleObject(mutex, timeoutMs);
  // An abandoned mutex (its holder ended) is held by us now all the same.
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

bool releaseMutex(MutexHandle mutex) { return ReleaseMutex(mutex) != 0; }

}  // namespace platform
