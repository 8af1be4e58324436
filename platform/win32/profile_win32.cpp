// Reading the settings file on Windows: the system call itself.
#include "platform/profile.h"

#include <windows.h>

namespace platform {

unsigned getProfileInt(const char* section, const char* key, int fallback, const char* path) {
  return GetPrivateProfileIntA(section, key, fallback, path);
}

}  // namespace platform
