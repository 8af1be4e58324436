// Modal message boxes without owner window and with one OK button.
#pragma once

namespace platform {

// Shows the box and returns when the player has closed it. On Linux the
// window thread shows it (SDL's video calls belong there) while the calling
// thread waits: SDL's box where the desktop can show one, else a box of the
// launcher's own (linux/message_box_layout.h), so that a plain X server shows
// every message too.
void showMessageBox(const char* text, const char* caption);
// Test builds let tests record the box instead (platform/test_hooks.h).

}  // namespace platform
