// Message boxes on Windows: MessageBoxA without owner, OK only.
#include "platform/message_box.h"

#include <windows.h>

#include <atomic>

namespace platform {

static std::atomic<MessageBoxHandler> messageBoxHandler{nullptr};

void setMessageBoxHandler(MessageBoxHandler handler) { messageBoxHandler = handler; }

void showMessageBox(const char* text, const char* caption) {
  if (MessageBoxHandler handler = messageBoxHandler.load()) {
    handler(text, caption);
    return;
  }
  MessageBoxA(nullptr, text, caption, MB_OK);
}

}  // namespace platform
