// The running executable's path on Linux.
#include "platform/executable.h"

#include <unistd.h>

#include <climits>

namespace platform {

std::string executablePath() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace platform
