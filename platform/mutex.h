// An unnamed lock with a timed wait (Win32 mutex / POSIX error-checking mutex).
#pragma once

namespace platform {

using MutexHandle = void*;

// Creates an unnamed lock that nobody holds.
MutexHandle createMutex();
// Waits at most timeoutMs for the lock; true when this thread now holds it.
bool waitMutex(MutexHandle mutex, unsigned timeoutMs);
// Gives the lock back; false (and nothing happens) when the caller does not hold it.
bool releaseMutex(MutexHandle mutex);

}  // namespace platform
