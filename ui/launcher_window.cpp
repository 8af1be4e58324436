#include "ui/launcher_window.h"

#include "core/display_state.h"
#include "ui/paint_layout.h"
#include "ui/pointer.h"

namespace ui {

// Why one function: the order of the layers is the picture.
static void composeBackBuffer(const core::DisplayState& state) {
  const PaintLayout layout = layOutPaint(state);
  platform::copyImageToBackBuffer(kImageBackground, 0, 0, platform::kWindowWidth, platform::kWindowHeight, 0, 0);
  platform::blendImageOverBackBuffer(kImageBackground, 0, 0, platform::kWindowWidth, platform::kWindowHeight);
  if (layout.closeImageId != 0)
    platform::copyImageToBackBuffer(layout.closeImageId, kCloseButtonLeft, 0, kCloseButtonWidth, kCloseButtonHeight, 0,
                                    kCloseButtonSourceRow);
  if (layout.upperBar.shown)
    platform::copyImageToBackBuffer(kImageUpperBar, layout.upperBar.left, layout.upperBar.top, layout.upperBar.width,
                                    kBarCopyHeight, 0, 0);
  if (layout.lowerBar.shown)
    platform::copyImageToBackBuffer(kImageLowerBar, layout.lowerBar.left, layout.lowerBar.top, layout.lowerBar.width,
                                    kBarCopyHeight, 0, 0);
  platform::drawTextInBackBuffer(state.statusText, layout.statusRect.left, layout.statusRect.top,
                                 layout.statusRect.right, layout.statusRect.bottom, state.textColour);
}

void paintLauncherWindow() {
  if (!core::uiLock->enter()) {
    platform::presentBackBuffer();
    core::requestRepaint();
    return;
  }
  composeBackBuffer(core::displayState);
  platform::presentBackBuffer();
  core::uiLock->leave();
}

// Why here: the pointer code decides, the platform acts.
static void act(PointerAction action) {
  switch (action) {
    case PointerAction::Repaint:
      core::requestRepaint();
      break;
    case PointerAction::DragWindow:
      platform::beginWindowDrag();
      break;
    case PointerAction::Quit:
      platform::postQuit(0);
      break;
    case PointerAction::None:
      break;
  }
}

static void pointerMoved(std::int16_t x, std::int16_t y, unsigned keyFlags) { act(onPointerMove(x, y, keyFlags)); }
static void leftPressed(std::int16_t x, std::int16_t y) { act(onLeftButtonDown(x, y)); }
static void leftReleased(std::int16_t x, std::int16_t y) { act(onLeftButtonUp(x, y)); }

platform::WindowHandlers launcherWindowHandlers() {
  return platform::WindowHandlers{paintLauncherWindow, pointerMoved, leftPressed, leftReleased};
}

}  // namespace ui
