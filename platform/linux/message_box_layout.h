// The launcher's own message box on Linux, shown where SDL's box cannot be
// (a plain X server without a desktop's dialog tool): a window with the text
// and one OK button, laid out in window pixels like a Windows message box.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct BoxRect {
  int left = 0, top = 0, width = 0, height = 0;
  bool contains(int x, int y) const { return x >= left && x < left + width && y >= top && y < top + height; }
};

struct MessageBoxLayout {
  int width = 0, height = 0;  // the window
  BoxRect text;               // the lines, left-aligned from its top-left corner
  BoxRect okButton;
};

// Lines wider than this wrap at a blank.
constexpr int kMessageBoxMaxTextWidth = 400;
// More lines than this are left out: the box must fit on a screen.
constexpr int kMessageBoxMaxLines = 30;

// The box for a text of that size (the widest line; the lines' height): the
// text 16 pixels in from the left and 20 down, the OK button 20 pixels below
// it, the box at least 200 wide.
MessageBoxLayout layOutMessageBox(int textWidth, int textHeight);

// Where a box of that size has its OK button: 75 x 23, centred, its bottom
// 12 pixels above the box's.
BoxRect okButtonOf(int boxWidth, int boxHeight);

// The text's lines: split at its line breaks ("\r\n", "\n" or "\r"), and each
// wrapped at blanks so that no line is wider than maxWidth as width() measures
// it, unless one word alone is. At most kMessageBoxMaxLines lines.
std::vector<std::string> wrapMessageText(const char* text, int maxWidth, int (*width)(const char*));

}  // namespace platform
