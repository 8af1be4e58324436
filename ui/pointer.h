// The pointer: the window has no caption, so a press anywhere but on the
// close button drags it, and a left release on the close button ends the
// launcher. Runs on the window thread only; closeButtonState is touched by
// that thread alone, so no lock is taken.
#pragma once

#include <cstdint>

#include "platform/window.h"

namespace ui {

enum HitRegion { HitOutside = 0, HitBody = 1, HitClose = 2 };

// Where a window-relative position lies. The coordinates are signed 16-bit
// and compared as unsigned after sign extension, so a negative one counts as
// very large: outside.
HitRegion hitTest(std::int16_t x, std::int16_t y);

// The close button's state after a pointer move in region with key flags.
std::int32_t closeButtonAfterMove(std::int32_t state, HitRegion region, unsigned keyFlags);
// The close button's state after a left press in region.
std::int32_t closeButtonAfterLeftPress(std::int32_t state, HitRegion region);

// What the window must do after a pointer message.
enum class PointerAction { None, Repaint, DragWindow, Quit };

// The three handlers: they update displayState.closeButtonState and return
// what the platform then does.
PointerAction onPointerMove(std::int16_t x, std::int16_t y, unsigned keyFlags);
PointerAction onLeftButtonDown(std::int16_t x, std::int16_t y);
PointerAction onLeftButtonUp(std::int16_t x, std::int16_t y);

}  // namespace ui
