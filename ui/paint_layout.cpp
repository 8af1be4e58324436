#include "ui/paint_layout.h"

#include <cmath>

namespace ui {

double nominalBarWidth(std::uint32_t value, std::uint32_t maximum) {
  if (maximum == 0) return 0;
  // Doubles hold value x 342 exactly (below 2^53), so only the division rounds.
  return std::trunc(static_cast<double>(value) * kBarImageWidth / static_cast<double>(maximum));
}

int shownBarWidth(std::uint32_t value, std::uint32_t maximum) {
  double width = nominalBarWidth(value, maximum);
  // Cut before converting: values far above the maximum do not fit an int.
  return width >= kBarImageWidth ? kBarImageWidth : static_cast<int>(width);
}

int closeButtonImageId(std::int32_t closeButtonState) {
  switch (closeButtonState) {
    case 1:
      return kImageCloseNormal;
    case 2:
      return kImageCloseOver;
    case 3:
      return kImageClosePressed;
    default:
      return 0;
  }
}

// Why separate: a bar shows only when its maximum is not 0.
static BarLayout layOutBar(std::uint32_t value, std::uint32_t maximum, int top) {
  BarLayout bar{};
  bar.shown = maximum != 0;
  bar.left = 27;
  bar.top = top;
  bar.width = bar.shown ? shownBarWidth(value, maximum) : 0;
  return bar;
}

PaintLayout layOutPaint(const core::DisplayState& state) {
  PaintLayout layout{};
  layout.closeImageId = closeButtonImageId(state.closeButtonState);
  layout.upperBar = layOutBar(state.fileProgress, state.fileProgressMax, 234);
  layout.lowerBar = layOutBar(state.totalProgress, state.totalProgressMax, 259);
  layout.statusRect = kStatusRect;
  return layout;
}

}  // namespace ui
