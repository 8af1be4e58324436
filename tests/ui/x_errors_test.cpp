// Xlib's errors in the launcher on a real X server (Xvfb): an error about a
// window the launcher noted as gone is ignored, as when SDL's wake-up reaches
// a box just destroyed; any other error still ends the process through
// Xlib's default handler, as before.
#include "platform/linux/x_errors.h"

#include <gtest/gtest.h>

// After GoogleTest: Xlib's macros (None, Bool) would clash with it.
#include <X11/Xlib.h>

namespace {

// Two connections, as SDL has: windows are made and destroyed through the
// first, and the second sends the event.
class XErrors : public testing::Test {
 protected:
  void SetUp() override {
    platform::handleXErrorsOfGoneWindows();
    owner_ = XOpenDisplay(nullptr);
    sender_ = XOpenDisplay(nullptr);
    ASSERT_TRUE(owner_ && sender_) << "the test runs under with_xvfb.sh";
  }
  void TearDown() override {
    if (sender_) XCloseDisplay(sender_);
    if (owner_) XCloseDisplay(owner_);
  }

  // A window made and destroyed through the first connection; noted as gone
  // first when asked.
  Window destroyedWindow(bool noted) {
    const Window window = XCreateSimpleWindow(owner_, DefaultRootWindow(owner_), 0, 0, 20, 20, 0, 0, 0);
    XSync(owner_, False);
    if (noted) platform::noteXWindowGone(window);
    XDestroyWindow(owner_, window);
    XSync(owner_, False);
    return window;
  }

  // A wake-up event to the window through the second connection; XSync
  // reads the error back and hands it to the handler.
  void sendTo(Window window) {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(sender_, "VLM_WAKEUP", False);
    event.xclient.format = 8;
    XSendEvent(sender_, window, False, NoEventMask, &event);
    XSync(sender_, False);
  }

  Display* owner_ = nullptr;
  Display* sender_ = nullptr;
};

TEST_F(XErrors, AnEventToAWindowNotedAsGoneDoesNotEndTheProcess) {
  const Window gone = destroyedWindow(true);
  EXPECT_TRUE(platform::isAboutGoneWindow(BadWindow, gone));
  sendTo(gone);
  sendTo(gone);  // and again: nothing is used up
  SUCCEED() << "the process lived";
}

TEST_F(XErrors, OtherErrorsStillEndTheProcessAsXlibDoes) {
  // The dying child opens connections of its own rather than share these.
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  // A destroyed window nobody noted.
  const Window unnoted = destroyedWindow(false);
  EXPECT_EXIT(sendTo(unnoted), testing::ExitedWithCode(1), "BadWindow");
  // An error that is not about a missing window, with windows noted as gone.
  const Window gone = destroyedWindow(true);
  EXPECT_FALSE(platform::isAboutGoneWindow(BadValue, gone));
  EXPECT_EXIT(
      {
        XSetWindowAttributes attributes{};
        attributes.bit_gravity = 100;  // no such gravity: BadValue
        XChangeWindowAttributes(sender_, DefaultRootWindow(sender_), CWBitGravity, &attributes);
        XSync(sender_, False);
      },
      testing::ExitedWithCode(1), "BadValue");
}

}  // namespace
