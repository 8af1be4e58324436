// The system's error text on Linux: errno as strerror words it.
#include <cerrno>
#include <cstring>

#include "platform/status.h"

namespace platform {

std::string lastSystemError() {
  int code = errno;
  if (code == 0) return "no error reported by the system";
  return std::strerror(code);
}

}  // namespace platform
