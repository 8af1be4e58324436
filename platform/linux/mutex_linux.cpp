// The unnamed lock on Linux: an error-checking pthread mutex, so that a
// release by a thread that does not hold it fails instead of corrupting it.
#include "platform/mutex.h"

#include <pthread.h>

#include <cerrno>
#include <ctime>

namespace platform {

MutexHandle createMutex() {
  auto* mutex = new pthread_mutex_t;
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  pthread_mutex_init(mutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  return mutex;
}

bool waitMutex(MutexHandle mutex, unsigned timeoutMs) {
  auto* m = static_cast<pthread_mutex_t*>(mutex);
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += timeoutMs / 1000;
  deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  int rc;
  do {
    rc = pthread_mutex_timedlock(m, &deadline);
  } while (rc == EINTR);
  return rc == 0;
}

bool releaseMutex(MutexHandle mutex) { return pthread_mutex_unlock(static_cast<pthread_mutex_t*>(mutex)) == 0; }

}  // namespace platform
