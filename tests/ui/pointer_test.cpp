#include "ui/pointer.h"

#include <gtest/gtest.h>

#include "core/display_state.h"

namespace ui {
namespace {

struct HitCase {
  std::int16_t x, y;
  HitRegion region;
};

class HitTest : public testing::TestWithParam<HitCase> {};

TEST_P(HitTest, FindsTheRegion) {
  const HitCase& c = GetParam();
  EXPECT_EQ(hitTest(c.x, c.y), c.region) << "(" << c.x << ", " << c.y << ")";
}

INSTANTIATE_TEST_SUITE_P(Table, HitTest,
                         testing::Values(HitCase{364, 0, HitClose}, HitCase{399, 14, HitClose},
                                         HitCase{380, 7, HitClose}, HitCase{363, 0, HitBody}, HitCase{364, 15, HitBody},
                                         HitCase{0, 0, HitBody}, HitCase{399, 299, HitBody}, HitCase{200, 240, HitBody},
                                         HitCase{400, 0, HitOutside}, HitCase{0, 300, HitOutside},
                                         // negative coordinates count as very large ones
                                         HitCase{-1, 0, HitOutside}, HitCase{380, -1, HitOutside},
                                         HitCase{-32768, -32768, HitOutside}, HitCase{32767, 5, HitOutside}));

// The close button's state machine: one row per event.
struct MachineCase {
  const char* event;
  std::int32_t before;
  std::int16_t x, y;
  unsigned keyFlags;
  std::int32_t after;
};

class CloseButton : public testing::TestWithParam<MachineCase> {
 protected:
  // All cases share one process under Wine: each starts from its own state.
  void SetUp() override { core::displayState.closeButtonState = GetParam().before; }
};

TEST_P(CloseButton, FollowsThePointer) {
  const MachineCase& c = GetParam();
  std::string event = c.event;
  PointerAction action = event == "move" ? onPointerMove(c.x, c.y, c.keyFlags) : onLeftButtonDown(c.x, c.y);
  EXPECT_EQ(core::displayState.closeButtonState, c.after) << event << " from " << c.before;
  if (event == "move") {
    EXPECT_EQ(action, PointerAction::Repaint);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CloseButton,
    testing::Values(MachineCase{"move", 2, 100, 100, 0, 1},
                    MachineCase{"move", 3, 100, 100, platform::kKeyLeftButton, 1}, MachineCase{"move", 1, 380, 7, 0, 2},
                    MachineCase{"move", 3, 380, 7, 0, 2}, MachineCase{"move", 1, 380, 7, platform::kKeyLeftButton, 3},
                    MachineCase{"move", 1, 380, 7, platform::kKeyLeftButton | platform::kKeyShift, 2},
                    MachineCase{"move", 1, 380, 7, platform::kKeyLeftButton | platform::kKeyControl, 2},
                    MachineCase{"move", 1, 380, 7, platform::kKeyLeftButton | platform::kKeyRightButton, 2},
                    MachineCase{"move", 1, 380, 7, platform::kKeyRightButton, 2}, MachineCase{"move", 3, 380, 15, 0, 1},
                    MachineCase{"move", 2, -5, 7, 0, 1}, MachineCase{"press", 2, 380, 7, platform::kKeyLeftButton, 3},
                    MachineCase{"press", 3, 380, 7, platform::kKeyLeftButton, 3},
                    MachineCase{"press", 1, 380, 7, platform::kKeyLeftButton, 1},
                    MachineCase{"press", 2, 100, 100, platform::kKeyLeftButton, 2},
                    MachineCase{"press", 2, 500, 100, platform::kKeyLeftButton, 2}));

class PointerActions : public testing::Test {
 protected:
  void SetUp() override { core::displayState.closeButtonState = 1; }
};

TEST_F(PointerActions, APressOnTheBodyDragsTheWindowAndAsksNoRepaint) {
  EXPECT_EQ(onLeftButtonDown(200, 240), PointerAction::DragWindow);
  EXPECT_EQ(onLeftButtonDown(380, 15), PointerAction::DragWindow);  // one row below the button
  EXPECT_EQ(core::displayState.closeButtonState, 1);
}

TEST_F(PointerActions, APressOnTheCloseButtonAsksARepaintEvenWhenNothingChanged) {
  EXPECT_EQ(onLeftButtonDown(380, 14), PointerAction::Repaint);
  EXPECT_EQ(core::displayState.closeButtonState, 1);
}

TEST_F(PointerActions, APressOutsideDoesNothing) { EXPECT_EQ(onLeftButtonDown(-3, 10), PointerAction::None); }

TEST_F(PointerActions, OnlyAReleaseOnTheCloseButtonQuits) {
  EXPECT_EQ(onLeftButtonUp(380, 7), PointerAction::Quit);
  EXPECT_EQ(onLeftButtonUp(364, 14), PointerAction::Quit);
  EXPECT_EQ(onLeftButtonUp(363, 7), PointerAction::None);
  EXPECT_EQ(onLeftButtonUp(200, 200), PointerAction::None);
  EXPECT_EQ(onLeftButtonUp(400, 7), PointerAction::None);
}

TEST_F(PointerActions, PressOnButtonSlideOffAndReleaseDoesNotQuit) {
  onPointerMove(380, 7, 0);
  onLeftButtonDown(380, 7);
  EXPECT_EQ(core::displayState.closeButtonState, 3);
  onPointerMove(300, 100, platform::kKeyLeftButton);
  EXPECT_EQ(core::displayState.closeButtonState, 1);
  EXPECT_EQ(onLeftButtonUp(300, 100), PointerAction::None);
}

}  // namespace
}  // namespace ui
