// The launcher itself on an Xvfb screen of 1366 x 768 (the test runs under
// xvfb-run; the Windows build under Wine there too), driven with xdotool and
// checked in screenshots. It runs the launcher's test build, which takes
// fixed display values from VLM_TEST_DISPLAY and starts no worker, so every
// picture is known.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "launcher_process.h"
#include "screen_capture.h"
#include "ui/paint_layout.h"

#if !defined(_WIN32)
#include <SDL.h>
#include <SDL_ttf.h>
#endif

namespace ui {
namespace {

constexpr int kScreenLeft = 483;  // 1366 / 2 - 200
constexpr int kScreenTop = 234;   // 768 / 2 - 150

// Polls until done() holds or the time runs out: a loaded machine may take
// seconds to show a window, and a fixed sleep would either waste time or fail.
bool waitFor(const std::function<bool()>& done, double seconds = 30) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

void xdotool(const std::string& arguments) {
  ASSERT_EQ(runUnixShell("xdotool " + arguments + " >/dev/null 2>&1"), 0) << arguments;
}

struct Position {
  int x = -100000, y = -100000;
};

// The launcher's window position from xwininfo; unset while there is none.
Position windowPosition() {
  std::string info = commandOutput("xwininfo -name 'V.L.M' 2>/dev/null");
  Position p;
  const char* x = std::strstr(info.c_str(), "Absolute upper-left X:");
  const char* y = std::strstr(info.c_str(), "Absolute upper-left Y:");
  if (x && y) {
    p.x = std::atoi(x + std::strlen("Absolute upper-left X:"));
    p.y = std::atoi(y + std::strlen("Absolute upper-left Y:"));
  }
  return p;
}

class LauncherWindow : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    background_ = loadPicture(VLM_RESOURCE_DIR "/101.bmp");
    upperBar_ = loadPicture(VLM_RESOURCE_DIR "/104.bmp");
    lowerBar_ = loadPicture(VLM_RESOURCE_DIR "/107.bmp");
    for (int i = 0; i < 3; ++i) close_[i] = loadPicture(VLM_RESOURCE_DIR "/" + std::to_string(111 + i) + ".bmp");
  }
  void SetUp() override {
    ASSERT_EQ(background_.width, 400);
    ASSERT_EQ(upperBar_.width, 342);
  }

  // Starts the launcher and waits until its window shows the painted picture.
  void start(const std::string& display) {
    // The pointer waits off the window: a window that appears under it gets
    // a pointer move, and the close button would not start as normal.
    ASSERT_NO_FATAL_FAILURE(xdotool("mousemove 5 5"));
    launcher_.reset(new LauncherProcess(hostPath(VLM_LAUNCHER_PATH), display));
    ASSERT_TRUE(launcher_->started());
    ASSERT_TRUE(waitFor([] {
      Position p = windowPosition();
      return p.x == kScreenLeft && p.y == kScreenTop;
    })) << "no window at the expected place: "
        << commandOutput("xwininfo -root -tree 2>&1");
    ASSERT_TRUE(waitFor([&] {
      screen_ = captureScreen();
      return !screen_.empty() && closeButtonShows(0) && windowPixel(5, 295) == background_.at(5, 295);
    })) << "the window was never painted";
  }

  Rgb windowPixel(int x, int y) const { return screen_.at(left_ + x, top_ + y); }

  // Window rows 0 to 13 show rows 1 to 14 of the close image; row 14 the background.
  bool closeButtonShows(int index) const {
    for (int y = 0; y < 14; ++y)
      for (int x = 0; x < 36; ++x)
        if (windowPixel(364 + x, y) != close_[index].at(x, y + 1)) return false;
    for (int x = 0; x < 36; ++x)
      if (windowPixel(364 + x, 14) != background_.at(364 + x, 14)) return false;
    return true;
  }

  // The columns of a bar that show its image, counted from its left end.
  int barColumnsShown(const Picture& bar, int top) const {
    int width = 0;
    while (width < 342 && windowPixel(27 + width, top + 7) == bar.at(width, 7)) ++width;
    return width;
  }

  // Checks the bar's width, that nothing of it shows beyond, and that its 16
  // rows below the image keep the background.
  void expectBar(const Picture& bar, int top, int expected) const {
    if (expected < 0) {
      for (int x = 0; x < 342; ++x)
        ASSERT_EQ(windowPixel(27 + x, top + 7), background_.at(27 + x, top + 7)) << "hidden bar shows at " << x;
      return;
    }
    EXPECT_EQ(barColumnsShown(bar, top), expected);
    for (int y = 0; y < 15; ++y)
      for (int x = 0; x < expected; ++x) ASSERT_EQ(windowPixel(27 + x, top + y), bar.at(x, y)) << x << "," << y;
    if (expected < 342) {
      EXPECT_EQ(windowPixel(27 + expected, top + 7), background_.at(27 + expected, top + 7));
    }
    EXPECT_EQ(windowPixel(27, top + 15), background_.at(27, top + 15));
  }

  // Pixels of the status rectangle that differ from the background, and how
  // many of them are near the text colour (near-white).
  void countText(int* changed, int* bright) const {
    *changed = *bright = 0;
    for (int y = 209; y < 227; ++y)
      for (int x = 28; x < 366; ++x) {
        Rgb p = windowPixel(x, y);
        if (p != background_.at(x, y)) ++*changed;
        if (p.r > 220 && p.g > 220 && p.b > 220) ++*bright;
      }
  }

  static Picture background_, upperBar_, lowerBar_, close_[3];
  std::unique_ptr<LauncherProcess> launcher_;
  Picture screen_;
  int left_ = kScreenLeft, top_ = kScreenTop;
};

Picture LauncherWindow::background_, LauncherWindow::upperBar_, LauncherWindow::lowerBar_, LauncherWindow::close_[3];

TEST_F(LauncherWindow, OpensCentredOnA1366x768Screen) {
  ASSERT_NO_FATAL_FAILURE(start("0/0/0/0/"));
  std::string info = commandOutput("xwininfo -name 'V.L.M'");
  EXPECT_NE(info.find("Width: 400"), std::string::npos) << info;
  EXPECT_NE(info.find("Height: 300"), std::string::npos) << info;
  Position p = windowPosition();
  EXPECT_EQ(p.x, 483);
  EXPECT_EQ(p.y, 234);
}

struct PictureCase {
  const char* display;
  int upperWidth, lowerWidth;  // -1: hidden
  const char* artifact;
};

class LauncherPicture : public LauncherWindow, public testing::WithParamInterface<PictureCase> {};

TEST_P(LauncherPicture, ShowsBackgroundStatusAndBarsOfTheLayoutWidths) {
  const PictureCase& c = GetParam();
  ASSERT_NO_FATAL_FAILURE(start(c.display));
  // Background everywhere outside the status line, the bars and the button.
  int mismatches = 0;
  for (int y = 0; y < 300; y += 3)
    for (int x = 0; x < 400; x += 3) {
      bool dynamic = (y < 15 && x >= 364) || (y >= 209 && y < 227 && x >= 28 && x < 366) ||
                     (y >= 234 && y < 274 && x >= 27 && x < 369);
      if (!dynamic && windowPixel(x, y) != background_.at(x, y)) ++mismatches;
    }
  EXPECT_EQ(mismatches, 0);
  EXPECT_TRUE(closeButtonShows(0));
  expectBar(upperBar_, 234, c.upperWidth);
  expectBar(lowerBar_, 259, c.lowerWidth);
  int changed = 0, bright = 0;
  countText(&changed, &bright);
  EXPECT_GT(changed, 40) << "no status text drawn";
  EXPECT_GT(bright, 15) << "the text is not in the near-white text colour";
  // The text stays inside its rectangle: the rows just below are background.
  for (int x = 28; x < 366; ++x) ASSERT_EQ(windowPixel(x, 228), background_.at(x, 228)) << x;
  if (c.artifact) {
    EXPECT_TRUE(saveScreenPng(std::string(VLM_ARTIFACT_DIR "/launcher-" VLM_TARGET_NAME "-") + c.artifact));
  }
}

INSTANTIATE_TEST_SUITE_P(Table, LauncherPicture,
                         testing::Values(PictureCase{"0/0/0/0/", -1, -1, "start.png"},
                                         PictureCase{"1/3/2/3/Downloading 12.rar", 114, 228, nullptr},
                                         PictureCase{"50/100/99/100/Applying patch 12", 171, 338, "progress.png"},
                                         PictureCase{"7/0/200/100/Full and hidden", -1, 342, nullptr},
                                         PictureCase{"4294967294/4294967295/0/5/Near the top", 341, 0, nullptr}));

#if !defined(_WIN32)

// The ink of a text: the smallest rectangle holding its pixels.
struct Ink {
  int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
  void add(int x, int y) {
    left = std::min(left, x);
    top = std::min(top, y);
    right = std::max(right, x);
    bottom = std::max(bottom, y);
  }
};

// The Windows window draws with Tahoma at cell height 13, which GDI makes an
// 11-pixel em with its baseline 11 pixels below the top of the status
// rectangle. The Linux window uses the same face where fonts-wine brings it
// (tools/install-deps.sh installs it), else DejaVu Sans, whose cell of 13
// gives the same em with its baseline 10 pixels down. The text is rendered
// here with SDL_ttf and its ink compared with the window's.
TEST_F(LauncherWindow, StatusTextIsInTheWindowsFontAndSize) {
  const char* kText = "Applying patch 12";
  ASSERT_NO_FATAL_FAILURE(start(std::string("0/0/0/0/") + kText));
  const bool tahoma = std::ifstream("/usr/share/wine/fonts/tahoma.ttf").good();
  const char* file = tahoma ? "/usr/share/wine/fonts/tahoma.ttf" : "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";
  const int baseline = tahoma ? 11 : 10;
  ASSERT_EQ(TTF_Init(), 0);
  TTF_Font* font = TTF_OpenFont(file, 11);
  ASSERT_NE(font, nullptr) << file;
  SDL_Surface* rendered = TTF_RenderText_Blended(font, kText, SDL_Color{255, 255, 255, 255});
  ASSERT_NE(rendered, nullptr);
  SDL_Surface* pixels = SDL_ConvertSurfaceFormat(rendered, SDL_PIXELFORMAT_ARGB8888, 0);
  ASSERT_NE(pixels, nullptr);
  // Centred in the status rectangle (28 to 366), baseline below its top (209).
  const int left = 28 + (338 - rendered->w) / 2;
  const int top = 209 + baseline - TTF_FontAscent(font);
  Ink expected;
  for (int y = 0; y < pixels->h; ++y)
    for (int x = 0; x < pixels->w; ++x) {
      const Uint32 argb = static_cast<const Uint32*>(pixels->pixels)[y * pixels->pitch / 4 + x];
      if ((argb >> 24) >= 128) expected.add(left + x, top + y);
    }
  SDL_FreeSurface(pixels);
  SDL_FreeSurface(rendered);
  TTF_CloseFont(font);
  TTF_Quit();

  // The window's ink: pixels of the status rectangle well off the background.
  Ink shown;
  for (int y = 209; y < 227; ++y)
    for (int x = 28; x < 366; ++x) {
      const Rgb p = windowPixel(x, y), b = background_.at(x, y);
      if (std::abs(p.r - b.r) + std::abs(p.g - b.g) + std::abs(p.b - b.b) >= 192) shown.add(x, y);
    }
  ASSERT_GE(expected.right, 0);
  EXPECT_NEAR(shown.left, expected.left, 1) << file;
  EXPECT_NEAR(shown.right, expected.right, 1) << file;
  EXPECT_NEAR(shown.top, expected.top, 1) << file;
  EXPECT_NEAR(shown.bottom, expected.bottom, 1) << file;
  EXPECT_TRUE(saveScreenPng(std::string(VLM_ARTIFACT_DIR "/launcher-" VLM_TARGET_NAME "-font.png")));
}

#endif

TEST_F(LauncherWindow, PointerOverTheCloseButtonShowsItsHoverPicture) {
  ASSERT_NO_FATAL_FAILURE(start("0/0/0/0/"));
  xdotool("mousemove " + std::to_string(kScreenLeft + 380) + " " + std::to_string(kScreenTop + 7));
  EXPECT_TRUE(waitFor([&] {
    screen_ = captureScreen();
    return closeButtonShows(1);
  }));
  xdotool("mousemove " + std::to_string(kScreenLeft + 200) + " " + std::to_string(kScreenTop + 100));
  EXPECT_TRUE(waitFor([&] {
    screen_ = captureScreen();
    return closeButtonShows(0);
  }));
}

TEST_F(LauncherWindow, PressAndReleaseOnTheCloseButtonEndsTheLauncherWithCode0) {
  ASSERT_NO_FATAL_FAILURE(start("0/0/0/0/"));
  xdotool("mousemove " + std::to_string(kScreenLeft + 390) + " " + std::to_string(kScreenTop + 14));
  ASSERT_TRUE(waitFor([&] {
    screen_ = captureScreen();
    return closeButtonShows(1);
  }));
  xdotool("mousedown 1");
  EXPECT_TRUE(waitFor([&] {
    screen_ = captureScreen();
    return closeButtonShows(2);
  })) << "no pressed picture";
  xdotool("mouseup 1");
  int code = -1;
  ASSERT_TRUE(launcher_->waitForExit(&code, 30));
  EXPECT_EQ(code, 0);
}

#if !defined(_WIN32)
// Without a window there is nothing to follow or stop an update with: the
// launcher says so and ends with code 1 instead of running on unseen.
TEST(LauncherWithoutAWindow, EndsWithCode1) {
  setenv("SDL_VIDEODRIVER", "no-such-video-driver", 1);
  LauncherProcess launcher(VLM_LAUNCHER_PATH, "0/0/0/0/");
  unsetenv("SDL_VIDEODRIVER");
  ASSERT_TRUE(launcher.started());
  int code = -1;
  ASSERT_TRUE(launcher.waitForExit(&code, 30));
  EXPECT_EQ(code, 1);
}
#endif

TEST_F(LauncherWindow, ReleaseOffTheCloseButtonDoesNotQuit) {
  ASSERT_NO_FATAL_FAILURE(start("0/0/0/0/"));
  xdotool("mousemove " + std::to_string(kScreenLeft + 380) + " " + std::to_string(kScreenTop + 7));
  xdotool("mousedown 1");
  xdotool("mousemove " + std::to_string(kScreenLeft + 380) + " " + std::to_string(kScreenTop + 40));
  xdotool("mouseup 1");
  int code = -1;
  EXPECT_FALSE(launcher_->waitForExit(&code, 2));
}

TEST_F(LauncherWindow, PressElsewhereAndMoveDragsTheWindow) {
  ASSERT_NO_FATAL_FAILURE(start("0/0/0/0/"));
  xdotool("mousemove " + std::to_string(kScreenLeft + 200) + " " + std::to_string(kScreenTop + 100));
  xdotool("mousedown 1");
  // A hand rests a moment on the press before it moves; a launcher slowed
  // down (a sanitizer build on a busy machine) takes the drag's anchor when
  // it handles the press, which must come before the first move.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Several steps, as a hand would move; the window follows the pointer.
  for (int step = 1; step <= 5; ++step)
    xdotool("mousemove " + std::to_string(kScreenLeft + 200 + step * 10) + " " +
            std::to_string(kScreenTop + 100 + step * 6));
  EXPECT_TRUE(waitFor([] {
    Position p = windowPosition();
    return p.x == kScreenLeft + 50 && p.y == kScreenTop + 30;
  })) << "window at "
      << windowPosition().x << "," << windowPosition().y;
  xdotool("mouseup 1");
  int code = -1;
  EXPECT_FALSE(launcher_->waitForExit(&code, 1)) << "a drag must not end the launcher";
}

}  // namespace
}  // namespace ui
