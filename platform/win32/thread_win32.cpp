// Threads on Windows: CreateThread, handle not kept.
#include "platform/thread.h"

#include <windows.h>

namespace platform {

static DWORD WINAPI runBody(LPVOID body) {
  reinterpret_cast<ThreadBody>(body)();
  return 0;
}

bool startThread(ThreadBody body) {
  HANDLE thread = CreateThread(nullptr, 0, runBody, reinterpret_cast<LPVOID>(body), 0, nullptr);
  if (!thread) return false;
  CloseHandle(thread);
  return true;
}

}  // namespace platform
