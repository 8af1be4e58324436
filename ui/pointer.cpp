#include "ui/pointer.h"

#include "core/display_state.h"
#include "ui/paint_layout.h"

namespace ui {

HitRegion hitTest(std::int16_t x, std::int16_t y) {
  const auto ux = static_cast<std::uint32_t>(static_cast<std::int32_t>(x));
  const auto uy = static_cast<std::uint32_t>(static_cast<std::int32_t>(y));
  if (ux >= static_cast<std::uint32_t>(kCloseButtonLeft) && ux < static_cast<std::uint32_t>(platform::kWindowWidth) &&
      uy < static_cast<std::uint32_t>(kCloseButtonHeight))
    return HitClose;
  if (ux < static_cast<std::uint32_t>(platform::kWindowWidth) &&
      uy < static_cast<std::uint32_t>(platform::kWindowHeight))
    return HitBody;
  return HitOutside;
}

std::int32_t closeButtonAfterMove(std::int32_t, HitRegion region, unsigned keyFlags) {
  if (region != HitClose) return 1;
  // Only the left button alone means "pressed": with Shift, Ctrl or another
  // button it is just the pointer over the button.
  return keyFlags == platform::kKeyLeftButton ? 3 : 2;
}

std::int32_t closeButtonAfterLeftPress(std::int32_t state, HitRegion region) {
  if (region == HitClose && state >= 2) return 3;
  return state;
}

PointerAction onPointerMove(std::int16_t x, std::int16_t y, unsigned keyFlags) {
  core::displayState.closeButtonState =
      closeButtonAfterMove(core::displayState.closeButtonState, hitTest(x, y), keyFlags);
  return PointerAction::Repaint;
}

PointerAction onLeftButtonDown(std::int16_t x, std::int16_t y) {
  switch (hitTest(x, y)) {
    case HitBody:
      return PointerAction::DragWindow;
    case HitClose:
      core::displayState.closeButtonState = closeButtonAfterLeftPress(core::displayState.closeButtonState, HitClose);
      return PointerAction::Repaint;
    default:
      return PointerAction::None;
  }
}

PointerAction onLeftButtonUp(std::int16_t x, std::int16_t y) {
  // Where the press began plays no part: only the release counts.
  return hitTest(x, y) == HitClose ? PointerAction::Quit : PointerAction::None;
}

}  // namespace ui
