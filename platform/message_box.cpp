// The test hook of message boxes, shared by both platforms.
#include "platform/message_box.h"

#include <atomic>

namespace platform {

// Each platform's real box.
void showMessageBoxForReal(const char* text, const char* caption);

static std::atomic<MessageBoxHandler> messageBoxHandler{nullptr};

void setMessageBoxHandler(MessageBoxHandler handler) { messageBoxHandler = handler; }

void showMessageBox(const char* text, const char* caption) {
  if (MessageBoxHandler handler = messageBoxHandler.load()) {
    handler(text, caption);
    return;
  }
  showMessageBoxForReal(text, caption);
}

}  // namespace platform
