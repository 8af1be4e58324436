// The launcher's BMP files built into the Linux executable, so it is one
// file; generated at build time from resources/*.bmp (resources/embed_bitmaps.cmake).
#pragma once

#include "platform/window.h"

#if !defined(_WIN32)
namespace ui {

extern const platform::EmbeddedBitmaps launcherBitmaps;

}  // namespace ui
#endif
