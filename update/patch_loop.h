// The loop over the numbered data patches.
#pragma once

#include <cstdint>

namespace update {

// Downloads, extracts and applies the patches first .. latestPatch in order;
// the lower bar shows the share done after each applied package. True when
// every number was handled, false after the first failure (a box tells the
// player when a download or an extraction failed).
bool runPatchLoop(std::uint32_t first);

// The overall progress after patch n of base+1 .. latest: (n - base) /
// (latest - base) * 100 in double precision, rounded to a float, cut.
std::uint32_t overallPatchPercent(std::uint32_t n, std::uint32_t base, std::uint32_t latest);

}  // namespace update
