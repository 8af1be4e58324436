// The Linux launcher's own message box: where its text and OK button go, and
// how its text breaks into lines.
#include "platform/linux/message_box_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct LayoutCase {
  int textWidth, textHeight;
  int width, height;
  platform::BoxRect ok;
};

class MessageBoxLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(MessageBoxLayout, PlacesTextAndOkButton) {
  const LayoutCase& c = GetParam();
  const platform::MessageBoxLayout layout = platform::layOutMessageBox(c.textWidth, c.textHeight);
  EXPECT_EQ(layout.width, c.width);
  EXPECT_EQ(layout.height, c.height);
  EXPECT_EQ(layout.text.left, 16);
  EXPECT_EQ(layout.text.top, 20);
  EXPECT_EQ(layout.text.width, c.textWidth);
  EXPECT_EQ(layout.text.height, c.textHeight);
  EXPECT_EQ(layout.okButton.left, c.ok.left);
  EXPECT_EQ(layout.okButton.top, c.ok.top);
  EXPECT_EQ(layout.okButton.width, c.ok.width);
  EXPECT_EQ(layout.okButton.height, c.ok.height);
  // The button the tests click is the one the box lays out.
  const platform::BoxRect again = platform::okButtonOf(layout.width, layout.height);
  EXPECT_EQ(again.left, c.ok.left);
  EXPECT_EQ(again.top, c.ok.top);
  // Text and button never overlap.
  EXPECT_LE(layout.text.top + layout.text.height, layout.okButton.top);
}

INSTANTIATE_TEST_SUITE_P(Table, MessageBoxLayout,
                         testing::Values(LayoutCase{0, 0, 200, 75, {62, 40, 75, 23}},
                                         LayoutCase{150, 13, 200, 88, {62, 53, 75, 23}},
                                         LayoutCase{168, 13, 200, 88, {62, 53, 75, 23}},
                                         LayoutCase{169, 13, 201, 88, {63, 53, 75, 23}},
                                         LayoutCase{400, 39, 432, 114, {178, 79, 75, 23}}));

TEST(BoxRect, ContainsItsOwnPixelsOnly) {
  const platform::BoxRect r{10, 20, 75, 23};
  EXPECT_TRUE(r.contains(10, 20));
  EXPECT_TRUE(r.contains(84, 42));
  EXPECT_FALSE(r.contains(85, 42));
  EXPECT_FALSE(r.contains(84, 43));
  EXPECT_FALSE(r.contains(9, 20));
  EXPECT_FALSE(r.contains(10, 19));
}

// Widths as a fixed-pitch font of 6 pixels would give them.
int sixPerCharacter(const char* text) { return 6 * static_cast<int>(std::strlen(text)); }

struct WrapCase {
  const char* text;
  int maxWidth;
  std::vector<std::string> lines;
};

class WrapMessageText : public testing::TestWithParam<WrapCase> {};

TEST_P(WrapMessageText, BreaksAtLineBreaksAndBlanks) {
  const WrapCase& c = GetParam();
  EXPECT_EQ(platform::wrapMessageText(c.text, c.maxWidth, sixPerCharacter), c.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WrapMessageText,
    testing::Values(WrapCase{"Failed to download the update..", 400, {"Failed to download the update.."}},
                    WrapCase{"", 400, {""}}, WrapCase{"aaa bbb ccc", 42, {"aaa bbb", "ccc"}},
                    WrapCase{"aaa bbb ccc", 41, {"aaa", "bbb", "ccc"}},
                    WrapCase{"one\r\ntwo\nthree\rfour", 400, {"one", "two", "three", "four"}},
                    WrapCase{"last\n", 400, {"last", ""}},
                    WrapCase{"averyveryverylongword short", 30, {"averyveryverylongword", "short"}}));

TEST(WrapMessageTextLimits, KeepsAtMostTheLinesThatFitOnAScreen) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += "line\n";
  EXPECT_EQ(platform::wrapMessageText(text.c_str(), 400, sixPerCharacter).size(),
            static_cast<std::size_t>(platform::kMessageBoxMaxLines));
  EXPECT_TRUE(platform::wrapMessageText(nullptr, 400, sixPerCharacter).empty());
}

}  // namespace
