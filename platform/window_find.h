// Looking for another program's window.
#pragma once

namespace platform {

// True when a top-level window of that class exists (FindWindowExA). On Linux
// the X11 class name of a top-level window is compared.
bool windowOfClassExists(const char* className);

}  // namespace platform
