// Looking for another program's window.
#pragma once

namespace platform {

// True when a top-level window of that class exists (FindWindowExA).
//
// On Linux the X11 class or instance name (WM_CLASS) of the top-level windows
// is compared, and of the windows a window manager put in frames. A Windows
// program run through Wine shows there under its executable's name in lower
// case ("kelda.exe"), never under its Win32 class; so for the class of a
// program known to run that way (the game client's "cKELDA", made by
// "Kelda.exe") a window of that executable counts too, in any case.
bool windowOfClassExists(const char* className);

}  // namespace platform
