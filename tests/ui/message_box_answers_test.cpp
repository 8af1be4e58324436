// Message boxes answered every way a player answers them, hundreds of times
// in a row, on an Xvfb screen: a program of the launcher's window thread and
// worker (message_box_series.cpp) shows box after box through
// platform::showMessageBox, this test answers each (a click on OK, Enter,
// Escape, a click elsewhere first, the window manager's close...) and
// asserts that each box closes, that the worker goes on to the next, and
// that the program lives to end with exit code 0. A fault that strikes one
// box in a hundred must show here: each answer is given often enough.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "launcher_process.h"
#include "platform/linux/message_box_layout.h"
#include "screen_capture.h"
#include "support/temp_dir.h"

// After GoogleTest: Xlib's macros (None, Bool) would clash with it.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include "window_close_x11.h"

namespace {

// Boxes per answer. Ten answers give 600 boxes: a fault of one box in a
// hundred slips through all of them with a chance of 0.24 %.
constexpr int kBoxesPerAnswer = 60;
// The frame of the OK button (red 0, green 120, blue 215) on the 24-bit screen.
constexpr unsigned long kOkFrame = 0x0078D7;
// The launcher window, centred on the 1366 x 768 screen.
constexpr int kLauncherLeft = 483, kLauncherTop = 234;

// The test's own look at the screen. Windows come and go under its feet
// (the boxes close while it asks about them), so X errors about them are
// expected here and must not end the test: each call checks its result.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

struct BoxWindow {
  Window id = 0;
  int x = 0, y = 0, width = 0, height = 0;
};

class Desktop {
 public:
  Desktop() : display_(XOpenDisplay(nullptr)) { XSetErrorHandler(ignoreXError); }
  ~Desktop() {
    if (display_) XCloseDisplay(display_);
  }
  Desktop(const Desktop&) = delete;
  Desktop& operator=(const Desktop&) = delete;
  bool open() const { return display_ != nullptr; }

  // The shown top-level window of that name, where it is.
  bool findShown(const std::string& name, BoxWindow* box) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return false;
    bool found = false;
    for (unsigned i = 0; i < count && !found; ++i) {
      char* title = nullptr;
      if (!XFetchName(display_, children[i], &title) || !title) continue;
      const bool named = name == title;
      XFree(title);
      XWindowAttributes attributes;
      if (!named || !XGetWindowAttributes(display_, children[i], &attributes)) continue;
      if (attributes.map_state != IsViewable) continue;
      *box = BoxWindow{children[i], attributes.x, attributes.y, attributes.width, attributes.height};
      found = true;
    }
    if (children) XFree(children);
    return found;
  }

  // True once the window is destroyed: a box closes for good.
  bool gone(Window window) {
    XWindowAttributes attributes;
    return !XGetWindowAttributes(display_, window, &attributes);
  }

  // True when the box shows its OK button: the player answers a box he sees.
  bool painted(const BoxWindow& box) {
    const platform::BoxRect ok = platform::okButtonOf(box.width, box.height);
    XImage* image = XGetImage(display_, box.id, ok.left, ok.top, 1, 1, AllPlanes, ZPixmap);
    if (!image) return false;
    const unsigned long pixel = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return pixel == kOkFrame;
  }

  bool hasKeyboard(Window window) {
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display_, &focus, &revert);
    return focus == window;
  }

  // What a window manager sends when the player closes a window by its frame.
  void sendClose(Window window) { sendWindowManagerClose(display_, window); }

 private:
  Display* display_;
};

// Polls until done() holds or the time runs out (a loaded machine may take
// seconds to show a window); stopped() ends the wait early.
bool waitFor(const std::function<bool()>& done, const std::function<bool()>& stopped, double seconds = 20) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    if (stopped()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

void xdotool(const std::string& arguments) {
  ASSERT_EQ(runUnixShell("xdotool " + arguments + " >/dev/null 2>&1"), 0) << arguments;
}

std::string at(int x, int y) { return std::to_string(x) + " " + std::to_string(y); }
std::string okCentre(const BoxWindow& box) {
  const platform::BoxRect ok = platform::okButtonOf(box.width, box.height);
  return at(box.x + ok.left + ok.width / 2, box.y + ok.top + ok.height / 2);
}
std::string textArea(const BoxWindow& box) { return at(box.x + 20, box.y + 24); }

// One way of answering a box; the box already has the keyboard.
struct Answer {
  const char* how;
  void (*give)(Desktop& desktop, const BoxWindow& box);
};

const Answer kAnswers[] = {
    {"click_ok", [](Desktop&, const BoxWindow& box) { xdotool("mousemove " + okCentre(box) + " click 1"); }},
    {"enter", [](Desktop&, const BoxWindow&) { xdotool("key Return"); }},
    {"keypad_enter", [](Desktop&, const BoxWindow&) { xdotool("key KP_Enter"); }},
    {"escape", [](Desktop&, const BoxWindow&) { xdotool("key Escape"); }},
    {"space", [](Desktop&, const BoxWindow&) { xdotool("key space"); }},
    {"typing_then_enter", [](Desktop&, const BoxWindow&) { xdotool("key a shift+b Tab Return"); }},
    {"click_text_then_ok",
     [](Desktop&, const BoxWindow& box) {
       xdotool("mousemove " + textArea(box) + " click 1 mousemove " + okCentre(box) + " click 1");
     }},
    {"click_launcher_then_ok",
     [](Desktop&, const BoxWindow& box) {
       xdotool("mousemove " + at(kLauncherLeft + 8, kLauncherTop + 8) + " click 1 mousemove " + okCentre(box) +
               " click 1");
     }},
    // A press on OK taken back (released beside it) is no answer; Enter is.
    {"press_ok_release_beside_then_enter",
     [](Desktop&, const BoxWindow& box) {
       xdotool("mousemove " + okCentre(box) + " mousedown 1 mousemove " + textArea(box) + " mouseup 1 key Return");
     }},
    {"window_manager_close", [](Desktop& desktop, const BoxWindow& box) { desktop.sendClose(box.id); }},
};

// The program's error output without the line each box of its own adds
// ("SDL's message box could not be shown ...": no desktop dialog here).
std::string errorLines(const std::string& file) {
  std::istringstream lines(readWholeFile(file));
  std::string line, kept;
  while (std::getline(lines, line))
    if (line.rfind("SDL's message box could not be shown", 0) != 0) kept += line + "\n";
  return kept;
}

void PrintTo(const Answer& answer, std::ostream* out) { *out << answer.how; }
std::string answerName(const testing::TestParamInfo<Answer>& info) { return info.param.how; }

class MessageBoxAnswers : public testing::TestWithParam<Answer> {};

// The program shows kBoxesPerAnswer boxes, each answered the same way. Where
// it dies on the way, the death is counted with its error output and a new
// one takes up the next box, so one run tells how often it happens.
TEST_P(MessageBoxAnswers, EachBoxClosesTheWorkerGoesOnAndTheProgramLives) {
  const Answer& answer = GetParam();
  TempWorkDir work;
  Desktop desktop;
  ASSERT_TRUE(desktop.open()) << "the test runs under with_xvfb.sh";
  const std::string errors = work.path() + "/series-errors.txt";

  int answered = 0, deaths = 0, exitCode = -1;
  std::string deathCodes;
  while (answered < kBoxesPerAnswer) {
    const int first = answered + 1;
    ASSERT_LT(deaths, kBoxesPerAnswer) << "the program keeps ending without boxes:\n" << errorLines(errors);
    LauncherProcess series(VLM_MESSAGE_BOX_SERIES_PATH, "", "",
                           {std::to_string(kBoxesPerAnswer - answered), std::to_string(first), errors});
    ASSERT_TRUE(series.started());
    bool ended = false;
    auto endedNow = [&] { return ended || (ended = series.waitForExit(&exitCode, 0)); };
    for (int k = first; k <= kBoxesPerAnswer && !endedNow(); ++k) {
      BoxWindow box;
      const std::string name = "Box " + std::to_string(k);
      if (!waitFor([&] { return desktop.findShown(name, &box) && desktop.painted(box) && desktop.hasKeyboard(box.id); },
                   endedNow)) {
        ASSERT_TRUE(endedNow()) << name << " did not show, painted and with the keyboard (" << answer.how << ")";
        break;
      }
      ASSERT_NO_FATAL_FAILURE(answer.give(desktop, box));
      const bool closed = waitFor([&] { return desktop.gone(box.id); }, [] { return false; });
      ASSERT_TRUE(closed) << name << " did not close on " << answer.how;
      answered = k;
    }
    // The worker goes on after the last box and ends the loop.
    if (answered == kBoxesPerAnswer && !endedNow()) {
      ASSERT_TRUE(series.waitForExit(&exitCode, 30)) << "the program did not end after its boxes";
    }
    if (!(answered == kBoxesPerAnswer && exitCode == 0)) {
      ++deaths;
      deathCodes += " " + std::to_string(exitCode);
    }
  }
  EXPECT_EQ(deaths, 0) << deaths << " of " << kBoxesPerAnswer << " boxes answered by " << answer.how
                       << " ended the program (exit codes" << deathCodes << "); its error output:\n"
                       << errorLines(errors);
}

INSTANTIATE_TEST_SUITE_P(Table, MessageBoxAnswers, testing::ValuesIn(kAnswers), answerName);

}  // namespace
