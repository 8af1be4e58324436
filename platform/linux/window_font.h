// The launcher window's font on Linux. The Windows window draws with the
// face "Tahoma" at cell height 13; here the same face is used where there is
// one, else a free sans, at the size and baseline GDI would give it.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

// The font file the window's text uses, best first: a Tahoma that
// fontconfig knows; the free Tahoma-compatible face of Debian's fonts-wine
// (what the Windows window shows under Wine; fontconfig does not list it);
// DejaVu Sans.
std::string windowFontFile();

// The metrics GDI sizes a TrueType font by: units per em ('head') and the
// Windows ascent and descent ('OS/2').
struct FontMetrics {
  int unitsPerEm = 0;
  int winAscent = 0;
  int winDescent = 0;
};

// Reads them from a font file's bytes. False when a table is missing, cut
// short or names impossible values (a zero em, a zero cell).
bool readFontMetrics(const unsigned char* bytes, std::size_t size, FontMetrics* metrics);

// GDI's em size in pixels for a font asked for with a positive height (the
// cell: ascent plus descent): the height scaled by units per em over
// winAscent + winDescent, rounded to the nearest pixel, and one pixel less
// when the rounded cell of that em would be taller than asked.
int emSizeForCellHeight(int cellHeight, const FontMetrics& metrics);

// GDI's ascent at an em size: winAscent scaled, rounded. Text drawn at a top
// edge has its baseline this far below it.
int ascentAtEmSize(int emSize, const FontMetrics& metrics);

}  // namespace platform
