// Trace colours on Windows: console text attributes.
#include "platform/console.h"

#include <windows.h>

#include <cstdio>

namespace platform {

void setConsoleColour(int attribute) {
  // What is already buffered must reach the console in the colour it was
  // written in.
  std::fflush(stdout);
  SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(attribute));
}

}  // namespace platform
