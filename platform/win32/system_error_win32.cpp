// The system's error text on Windows: GetLastError as FormatMessageA words
// it. errno means nothing after a Win32 call, so strerror is never used here.
#include <windows.h>

#include <string>

#include "platform/status.h"

namespace platform {

std::string lastSystemError() {
  DWORD code = GetLastError();
  char text[512];
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                sizeof text, nullptr);
  // The system's texts end in a line break (and often a full stop).
  while (length > 0 &&
         (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == ' ' || text[length - 1] == '.'))
    --length;
  if (length == 0) return "system error " + std::to_string(code);
  return std::string(text, length) + " (error " + std::to_string(code) + ")";
}

}  // namespace platform
