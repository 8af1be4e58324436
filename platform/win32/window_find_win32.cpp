// Finding another program's window on Windows: by its class name.
#include "platform/window_find.h"

#include <windows.h>

namespace platform {

bool windowOfClassExists(const char* className) {
  return FindWindowExA(nullptr, nullptr, className, nullptr) != nullptr;
}

}  // namespace platform
