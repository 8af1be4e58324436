// Detached threads on Linux.
#include "platform/thread.h"

#include <pthread.h>

namespace platform {

static void* runBody(void* body) {
  reinterpret_cast<ThreadBody>(body)();
  return nullptr;
}

bool startThread(ThreadBody body) {
  pthread_t thread;
  if (pthread_create(&thread, nullptr, runBody, reinterpret_cast<void*>(body)) != 0) return false;
  pthread_detach(thread);
  return true;
}

}  // namespace platform
