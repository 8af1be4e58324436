#include "ui/paint_layout.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace ui {
namespace {

struct BarCase {
  std::uint32_t value, maximum;
  double nominal;
  int shown;
};

class BarWidth : public testing::TestWithParam<BarCase> {};

TEST_P(BarWidth, IsValueTimes342OverMaximumTruncatedAndCutToTheImage) {
  const BarCase& c = GetParam();
  EXPECT_EQ(nominalBarWidth(c.value, c.maximum), c.nominal);
  EXPECT_EQ(shownBarWidth(c.value, c.maximum), c.shown);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BarWidth,
    testing::Values(BarCase{0, 100, 0, 0}, BarCase{1, 3, 114, 114}, BarCase{2, 3, 228, 228}, BarCase{50, 100, 171, 171},
                    BarCase{99, 100, 338, 338}, BarCase{1, 1, 342, 342}, BarCase{100, 100, 342, 342},
                    BarCase{101, 100, 345, 342}, BarCase{200, 100, 684, 342},
                    // Near 2^32 the product needs more than 32 bits.
                    BarCase{4294967295u, 4294967295u, 342, 342}, BarCase{4294967294u, 4294967295u, 341, 341},
                    BarCase{2147483648u, 4294967295u, 171, 171}, BarCase{4294967295u, 1, 1468878814890.0, 342},
                    BarCase{1, 4294967295u, 0, 0}, BarCase{12582912, 12582913, 341, 341}, BarCase{7, 0, 0, 0}));

TEST(PaintLayout, AMaximumOf0HidesItsBarWhateverTheValue) {
  core::DisplayState state{};
  state.fileProgress = 50;
  state.fileProgressMax = 0;
  state.totalProgress = 3;
  state.totalProgressMax = 0;
  PaintLayout layout = layOutPaint(state);
  EXPECT_FALSE(layout.upperBar.shown);
  EXPECT_FALSE(layout.lowerBar.shown);

  state.fileProgressMax = 100;
  layout = layOutPaint(state);
  EXPECT_TRUE(layout.upperBar.shown);
  EXPECT_EQ(layout.upperBar.width, 171);
  EXPECT_EQ(layout.upperBar.left, 27);
  EXPECT_EQ(layout.upperBar.top, 234);
  EXPECT_FALSE(layout.lowerBar.shown);

  state.totalProgressMax = 3;
  layout = layOutPaint(state);
  EXPECT_TRUE(layout.lowerBar.shown);
  EXPECT_EQ(layout.lowerBar.width, 342);
  EXPECT_EQ(layout.lowerBar.top, 259);
}

TEST(PaintLayout, ABarAtValue0IsShownWithNoWidth) {
  core::DisplayState state{};
  state.totalProgressMax = 10;
  PaintLayout layout = layOutPaint(state);
  EXPECT_TRUE(layout.lowerBar.shown);
  EXPECT_EQ(layout.lowerBar.width, 0);
}

TEST(PaintLayout, CloseButtonImageFollowsItsState) {
  const struct {
    std::int32_t state;
    int imageId;
  } cases[] = {{1, 111}, {2, 112}, {3, 113}, {0, 0}, {4, 0}, {-1, 0}, {2147483647, 0}};
  for (const auto& c : cases) {
    core::DisplayState state{};
    state.closeButtonState = c.state;
    EXPECT_EQ(layOutPaint(state).closeImageId, c.imageId) << "state " << c.state;
  }
}

TEST(PaintLayout, StatusLineRectangle) {
  core::DisplayState state{};
  PaintRect rect = layOutPaint(state).statusRect;
  EXPECT_EQ(rect.left, 28);
  EXPECT_EQ(rect.top, 209);
  EXPECT_EQ(rect.right, 366);
  EXPECT_EQ(rect.bottom, 227);
}

}  // namespace
}  // namespace ui
