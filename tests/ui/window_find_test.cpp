// Looks for windows by class on a real display: an X server (Xvfb) on Linux,
// Wine's window station under Xvfb for the Windows build.
#include "platform/window_find.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#endif

namespace {

#if defined(_WIN32)

TEST(WindowOfClassExists, FindsATopLevelWindowByItsClassUntilItIsGone) {
  EXPECT_FALSE(platform::windowOfClassExists("VlmTestClient"));
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = DefWindowProcA;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "VlmTestClient";
  ASSERT_NE(RegisterClassExA(&windowClass), 0);
  HWND window = CreateWindowExA(0, "VlmTestClient", "game", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(platform::windowOfClassExists("VlmTestClient"));
  EXPECT_FALSE(platform::windowOfClassExists("cKELDA"));
  DestroyWindow(window);
  EXPECT_FALSE(platform::windowOfClassExists("VlmTestClient"));
}

#else

class XWindows : public testing::Test {
 protected:
  void SetUp() override {
    display_ = XOpenDisplay(nullptr);
    ASSERT_NE(display_, nullptr) << "the test runs under xvfb-run";
  }
  void TearDown() override {
    if (display_) XCloseDisplay(display_);
  }
  Window makeWindow(Window parent, const char* name, const char* className) {
    Window window = XCreateSimpleWindow(display_, parent, 0, 0, 20, 20, 0, 0, 0);
    if (className) {
      XClassHint hint{const_cast<char*>(name), const_cast<char*>(className)};
      XSetClassHint(display_, window, &hint);
    }
    XSync(display_, False);
    return window;
  }
  Display* display_ = nullptr;
};

TEST_F(XWindows, FindsATopLevelWindowByItsClassUntilItIsGone) {
  EXPECT_FALSE(platform::windowOfClassExists("cKELDA"));
  Window client = makeWindow(DefaultRootWindow(display_), "kelda", "cKELDA");
  EXPECT_TRUE(platform::windowOfClassExists("cKELDA"));
  EXPECT_FALSE(platform::windowOfClassExists("cKELD"));
  XDestroyWindow(display_, client);
  XSync(display_, False);
  EXPECT_FALSE(platform::windowOfClassExists("cKELDA"));
}

TEST_F(XWindows, MatchesTheInstanceNameToo) {
  Window client = makeWindow(DefaultRootWindow(display_), "cKELDA", "Wine");
  EXPECT_TRUE(platform::windowOfClassExists("cKELDA"));
  XDestroyWindow(display_, client);
  XSync(display_, False);
}

TEST_F(XWindows, FindsAWindowThatAWindowManagerPutInAFrame) {
  Window frame = makeWindow(DefaultRootWindow(display_), "frame", "WmFrame");
  makeWindow(frame, "kelda", "cKELDA");
  EXPECT_TRUE(platform::windowOfClassExists("cKELDA"));
  XDestroyWindow(display_, frame);
  XSync(display_, False);
  EXPECT_FALSE(platform::windowOfClassExists("cKELDA"));
}

// Wine shows a Windows program's windows under its executable's name, in
// lower case, as WM_CLASS: the game client's "cKELDA" window run through Wine
// carries "kelda.exe".
struct WineWindowCase {
  const char* instanceName;
  const char* className;
  bool countsAsTheClient;
};

class WineWindows : public XWindows, public testing::WithParamInterface<WineWindowCase> {};

TEST_P(WineWindows, CountAsTheGameClientsClassWhenTheyAreItsExecutables) {
  const WineWindowCase& c = GetParam();
  Window window = makeWindow(DefaultRootWindow(display_), c.instanceName, c.className);
  EXPECT_EQ(platform::windowOfClassExists("cKELDA"), c.countsAsTheClient) << c.instanceName << " / " << c.className;
  // Only the game client's class knows its executable.
  EXPECT_FALSE(platform::windowOfClassExists("VlmTestClient"));
  XDestroyWindow(display_, window);
  XSync(display_, False);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WineWindows,
    testing::Values(WineWindowCase{"kelda.exe", "kelda.exe", true}, WineWindowCase{"KELDA.EXE", "Kelda.exe", true},
                    WineWindowCase{"kelda.exe", "Wine", true}, WineWindowCase{"game", "KeLdA.ExE", true},
                    WineWindowCase{"kelda", "kelda", false}, WineWindowCase{"kelda.exe.old", "kelda.ex", false},
                    WineWindowCase{"notepad.exe", "notepad.exe", false},
                    WineWindowCase{"explorer.exe", "explorer.exe", false}));

TEST_F(XWindows, FindsAWineWindowThatAWindowManagerPutInAFrame) {
  Window frame = makeWindow(DefaultRootWindow(display_), "frame", "WmFrame");
  makeWindow(frame, "kelda.exe", "kelda.exe");
  EXPECT_TRUE(platform::windowOfClassExists("cKELDA"));
  XDestroyWindow(display_, frame);
  XSync(display_, False);
  EXPECT_FALSE(platform::windowOfClassExists("cKELDA"));
}

TEST(WindowOfClassExistsWithoutDisplay, IsFalse) {
  const char* previous = std::getenv("DISPLAY");
  std::string saved = previous ? previous : "";
  setenv("DISPLAY", ":9999", 1);
  EXPECT_FALSE(platform::windowOfClassExists("cKELDA"));
  if (previous) setenv("DISPLAY", saved.c_str(), 1);
}

#endif

}  // namespace
