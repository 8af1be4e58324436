// The launcher window's handlers: the paint and the pointer, wired to the
// platform window.
#pragma once

#include <cstdint>

#include "platform/window.h"

namespace ui {

// Composes the whole picture in the back buffer under uiLock and presents it.
// When uiLock cannot be had within its one 100 ms wait, the previous picture
// is presented again and another paint is requested: the window thread never
// blocks for long and never reads a half-written field.
void paintLauncherWindow();

// The handlers the entry gives the platform window.
platform::WindowHandlers launcherWindowHandlers();

}  // namespace ui
