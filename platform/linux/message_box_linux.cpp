// Message boxes on Linux: SDL's simple message box, no parent window.
#include <SDL.h>

namespace platform {

void showMessageBoxForReal(const char* text, const char* caption) {
  SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, caption, text, nullptr);
}

}  // namespace platform
