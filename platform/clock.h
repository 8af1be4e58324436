// The clock and the wait.
#pragma once

#include <cstdint>

namespace platform {

// Milliseconds since the process started (what the C runtime's clock() gives
// on Windows; on Linux clock() counts CPU time, so a monotonic clock is used).
std::int32_t clockTicksMs();
// Sleeps the calling thread.
void sleepMs(unsigned milliseconds);

}  // namespace platform
