// The running executable's path on Windows, in the ANSI code page.
#include "platform/executable.h"

#include <windows.h>

namespace platform {

std::string executablePath() {
  wchar_t wide[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, wide, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::string();
  char narrow[MAX_PATH * 2];
  int bytes = WideCharToMultiByte(CP_ACP, 0, wide, static_cast<int>(length), narrow, sizeof narrow, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  return std::string(narrow, static_cast<std::size_t>(bytes));
}

}  // namespace platform
