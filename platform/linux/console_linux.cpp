// Trace colours on Linux: ANSI sequences, only on a terminal.
#include "platform/console.h"

#include <unistd.h>

#include <cstdio>

namespace platform {

void setConsoleColour(int attribute) {
  if (!isatty(STDOUT_FILENO)) return;
  // Attribute 9 is bright blue, 15 bright white, as on the Windows console.
  std::fputs(attribute == kConsoleBrightBlue ? "\033[94m" : "\033[97m", stdout);
}

}  // namespace platform
