// Message boxes, shared by both platforms: test builds may record them
// instead (platform/test_hooks.h).
#include "platform/message_box.h"

#include "platform/test_hooks.h"

namespace platform {

// Each platform's real box.
void showMessageBoxForReal(const char* text, const char* caption);

void showMessageBox(const char* text, const char* caption) {
#if defined(VLM_TEST_HOOKS)
  if (MessageBoxHandler handler = messageBoxHandler()) {
    handler(text, caption);
    return;
  }
#endif
  showMessageBoxForReal(text, caption);
}

}  // namespace platform
