// Colours of the trace on standard output.
#pragma once

namespace platform {

// Win32 console character attributes used by the trace.
constexpr int kConsoleBrightBlue = 9;
constexpr int kConsoleBrightWhite = 15;

// Sets the colour of what is written next to standard output. Windows: the
// console text attribute (fails silently when standard output is no console).
// Linux: the matching ANSI sequence, only when standard output is a terminal,
// so redirected output never holds colour codes.
void setConsoleColour(int attribute);

}  // namespace platform
