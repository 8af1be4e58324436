// The clock and the wait, the same on both platforms.
#include "platform/clock.h"

#include <chrono>
#include <thread>

namespace platform {

static const auto processStart = std::chrono::steady_clock::now();

std::int32_t clockTicksMs() {
  auto elapsed = std::chrono::steady_clock::now() - processStart;
  return static_cast<std::int32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void sleepMs(unsigned milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace platform
