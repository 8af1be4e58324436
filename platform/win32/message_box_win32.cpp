// Message boxes on Windows: MessageBoxA without owner, OK only.
#include <windows.h>

namespace platform {

void showMessageBoxForReal(const char* text, const char* caption) { MessageBoxA(nullptr, text, caption, MB_OK); }

}  // namespace platform
