// What one paint of the launcher window draws, worked out from the display
// values alone, so both platforms draw the same picture.
#pragma once

#include <cstdint>

#include "core/display_state.h"
#include "platform/window.h"

namespace ui {

// Bitmap resource ids; the image table holds 101 to 122 at index id - 101.
constexpr int kFirstImageId = 101;
constexpr int kImageCount = 22;
constexpr int kImageBackground = 101;
constexpr int kImageUpperBar = 104;
constexpr int kImageLowerBar = 107;
constexpr int kImageCloseNormal = 111;
constexpr int kImageCloseOver = 112;
constexpr int kImageClosePressed = 113;

// The bars' images are 342 x 15; a bar never shows more than its image.
constexpr int kBarImageWidth = 342;
constexpr int kBarImageHeight = 15;
// The bar copy asks for 31 rows; only the image's 15 exist.
constexpr int kBarCopyHeight = 31;

constexpr int kCloseButtonLeft = 364;
constexpr int kCloseButtonWidth = 36;
constexpr int kCloseButtonHeight = 15;
// The close button is copied from its image's row 1, so its rows 1 to 14
// land on window rows 0 to 13.
constexpr int kCloseButtonSourceRow = 1;

struct PaintRect {
  int left, top, right, bottom;
};

// The status line: centred, top-aligned, clipped to this rectangle.
constexpr PaintRect kStatusRect = {28, 209, 366, 227};

struct BarLayout {
  bool shown;  // false when the maximum is 0
  int left, top;
  int width;  // columns copied from the image: 0 to 342
};

struct PaintLayout {
  int closeImageId;  // 0: no close button drawn
  BarLayout upperBar;
  BarLayout lowerBar;
  PaintRect statusRect;
};

// value x 342 / maximum in floating point (no overflow for any 32-bit pair),
// truncated toward zero: the bar's nominal width. 0 when maximum is 0.
double nominalBarWidth(std::uint32_t value, std::uint32_t maximum);

// The columns that actually show: the nominal width cut to the image's 342.
int shownBarWidth(std::uint32_t value, std::uint32_t maximum);

// The close button's image for a state: 1, 2, 3 give 111, 112, 113; any
// other state draws none (0).
int closeButtonImageId(std::int32_t closeButtonState);

// Everything the paint computes before it draws.
PaintLayout layOutPaint(const core::DisplayState& state);

}  // namespace ui
