// Reading a whole number from an ini file (GetPrivateProfileIntA).
#pragma once

namespace platform {

// The value of key in [section] of the file, or fallback when the file, the
// section or the key is missing. Windows: the system call itself. Linux: the
// same results: section and key names compared without case, blanks around
// names and values ignored, a leading number followed by other text read as
// that number, a value without a leading number read as 0.
unsigned getProfileInt(const char* section, const char* key, int fallback, const char* path);

}  // namespace platform
