// Modal message boxes without owner window and with one OK button.
#pragma once

namespace platform {

// Shows the box and returns when the player has closed it.
void showMessageBox(const char* text, const char* caption);

// Tests replace the box with a recorder: a GUI box would wait for a player.
using MessageBoxHandler = void (*)(const char* text, const char* caption);
void setMessageBoxHandler(MessageBoxHandler handler);  // nullptr: the real box

}  // namespace platform
