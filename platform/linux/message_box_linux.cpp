// Message boxes on Linux: SDL's simple message box, no parent window.
#include "platform/message_box.h"

#include <SDL.h>

#include <atomic>

namespace platform {

static std::atomic<MessageBoxHandler> messageBoxHandler{nullptr};

void setMessageBoxHandler(MessageBoxHandler handler) { messageBoxHandler = handler; }

void showMessageBox(const char* text, const char* caption) {
  if (MessageBoxHandler handler = messageBoxHandler.load()) {
    handler(text, caption);
    return;
  }
  SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, caption, text, nullptr);
}

}  // namespace platform
