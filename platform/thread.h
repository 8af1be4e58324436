// Starting a thread that nobody waits for.
#pragma once

namespace platform {

using ThreadBody = void (*)();

// Runs body on a new thread at once; the caller goes on without waiting and
// keeps no handle. False when the thread could not be started.
bool startThread(ThreadBody body);

}  // namespace platform
