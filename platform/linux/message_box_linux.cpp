// Message boxes on Linux. SDL's simple message box first: the desktop's
// dialog tool or SDL's own X11 box. Where neither can be shown (a plain X
// server without the dialog tool or the core fonts SDL's box needs), a box of
// our own: an SDL window with the text and an OK button.
//
// Either runs on the window thread (see window_thread.h); the thread that
// asked waits until the player has closed the box, as in a modal box.
#include <SDL.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/message_box_layout.h"
#include "platform/linux/window_thread.h"

namespace platform {

namespace {
constexpr int kButtonWidth = 75, kButtonHeight = 23, kButtonToBottom = 12;
}  // namespace

BoxRect okButtonOf(int boxWidth, int boxHeight) {
  return BoxRect{(boxWidth - kButtonWidth) / 2, boxHeight - kButtonToBottom - kButtonHeight, kButtonWidth,
                 kButtonHeight};
}

MessageBoxLayout layOutMessageBox(int textWidth, int textHeight) {
  constexpr int kTextLeft = 16, kTextTop = 20, kTextToButton = 20, kMinWidth = 200;
  MessageBoxLayout layout;
  layout.width = std::max(kMinWidth, textWidth + 2 * kTextLeft);
  layout.height = kTextTop + textHeight + kTextToButton + kButtonHeight + kButtonToBottom;
  layout.text = BoxRect{kTextLeft, kTextTop, textWidth, textHeight};
  layout.okButton = okButtonOf(layout.width, layout.height);
  return layout;
}

std::vector<std::string> wrapMessageText(const char* text, int maxWidth, int (*width)(const char*)) {
  std::vector<std::string> lines;
  if (!text) return lines;
  auto add = [&](const std::string& line) {
    if (lines.size() < static_cast<std::size_t>(kMessageBoxMaxLines)) lines.push_back(line);
  };
  const char* rest = text;
  for (;;) {
    const char* end = std::strpbrk(rest, "\r\n");
    const std::string paragraph = end ? std::string(rest, end) : std::string(rest);
    std::string line;
    std::size_t at = 0;
    while (at < paragraph.size()) {
      std::size_t blank = paragraph.find(' ', at);
      if (blank == std::string::npos) blank = paragraph.size();
      const std::string word = paragraph.substr(at, blank - at);
      const std::string longer = line.empty() ? word : line + " " + word;
      if (!line.empty() && width(longer.c_str()) > maxWidth) {
        add(line);
        line = word;
      } else {
        line = longer;
      }
      at = blank + 1;
    }
    add(line);
    if (!end) break;
    rest = end + ((end[0] == '\r' && end[1] == '\n') ? 2 : 1);
  }
  return lines;
}

namespace {

// Colours of a Windows message box.
constexpr SDL_Color kFace{240, 240, 240, 255};
constexpr SDL_Color kFrame{100, 100, 100, 255};
constexpr SDL_Color kText{0, 0, 0, 255};
constexpr SDL_Color kButtonFace{225, 225, 225, 255};
constexpr SDL_Color kButtonFrame{0, 120, 215, 255};  // the default button
constexpr SDL_Color kButtonPressed{204, 228, 247, 255};

struct BoxRequest {
  const char* text;
  const char* caption;
};

struct OwnBox {
  SDL_Window* window = nullptr;
  Uint32 id = 0;
  std::vector<std::string> lines;
  MessageBoxLayout layout;
  bool held = false;    // the left button went down on OK and is still down
  bool overOk = false;  // the pointer is over OK
  bool closed = false;
};

Uint32 mapped(const SDL_Surface* surface, SDL_Color colour) {
  return SDL_MapRGB(surface->format, colour.r, colour.g, colour.b);
}

void fillRect(SDL_Surface* surface, const BoxRect& r, SDL_Color colour) {
  SDL_Rect rect{r.left, r.top, r.width, r.height};
  SDL_FillRect(surface, &rect, mapped(surface, colour));
}

// A one-pixel frame just inside the rectangle.
void frameRect(SDL_Surface* surface, const BoxRect& r, SDL_Color colour) {
  fillRect(surface, BoxRect{r.left, r.top, r.width, 1}, colour);
  fillRect(surface, BoxRect{r.left, r.top + r.height - 1, r.width, 1}, colour);
  fillRect(surface, BoxRect{r.left, r.top, 1, r.height}, colour);
  fillRect(surface, BoxRect{r.left + r.width - 1, r.top, 1, r.height}, colour);
}

void paintBox(const OwnBox& box) {
  SDL_Surface* surface = SDL_GetWindowSurface(box.window);
  if (!surface) return;
  const MessageBoxLayout& layout = box.layout;
  fillRect(surface, BoxRect{0, 0, layout.width, layout.height}, kFace);
  // Without a window manager there is no frame: the box draws its own.
  frameRect(surface, BoxRect{0, 0, layout.width, layout.height}, kFrame);
  const int lineHeight = windowFont().lineHeight;
  for (std::size_t i = 0; i < box.lines.size(); ++i)
    drawTextLine(surface, box.lines[i].c_str(), layout.text.left, layout.text.top + static_cast<int>(i) * lineHeight,
                 kText);
  const BoxRect& ok = layout.okButton;
  fillRect(surface, ok, box.held && box.overOk ? kButtonPressed : kButtonFace);
  frameRect(surface, ok, kButtonFrame);
  drawTextLine(surface, "OK", ok.left + (ok.width - textLineWidth("OK")) / 2, ok.top + (ok.height - lineHeight) / 2,
               kText);
  SDL_UpdateWindowSurface(box.window);
}

// The box's share of the window thread's events: those of its window.
bool boxTakes(const SDL_Event& event, void* context) {
  OwnBox& box = *static_cast<OwnBox*>(context);
  switch (event.type) {
    case SDL_WINDOWEVENT:
      if (event.window.windowID != box.id) return false;
      if (event.window.event == SDL_WINDOWEVENT_CLOSE) box.closed = true;
      if (event.window.event == SDL_WINDOWEVENT_EXPOSED || event.window.event == SDL_WINDOWEVENT_SHOWN) paintBox(box);
      return true;
    case SDL_MOUSEMOTION: {
      if (event.motion.windowID != box.id) return false;
      const bool over = box.layout.okButton.contains(event.motion.x, event.motion.y);
      if (over != box.overOk) {
        box.overOk = over;
        paintBox(box);
      }
      return true;
    }
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP: {
      if (event.button.windowID != box.id) return false;
      if (event.button.button != SDL_BUTTON_LEFT) return true;
      box.overOk = box.layout.okButton.contains(event.button.x, event.button.y);
      if (event.type == SDL_MOUSEBUTTONDOWN) {
        box.held = box.overOk;
      } else {
        // A button: the press and the release both on it.
        box.closed = box.held && box.overOk;
        box.held = false;
      }
      paintBox(box);
      return true;
    }
    case SDL_KEYDOWN:
    case SDL_KEYUP:
      if (event.key.windowID != box.id) return false;
      if (event.type == SDL_KEYDOWN) {
        const SDL_Keycode key = event.key.keysym.sym;
        box.closed = key == SDLK_RETURN || key == SDLK_KP_ENTER || key == SDLK_ESCAPE || key == SDLK_SPACE;
      }
      return true;
    case SDL_TEXTINPUT:
      return event.text.windowID == box.id;
    default:
      return false;
  }
}

// Shows the box and waits on the window thread until the player closes it.
// False when it could not be shown.
bool runOwnBox(const char* text, const char* caption) {
  if (!startWindowSystem()) return false;
  if (!windowFont().font) return false;
  OwnBox box;
  box.lines = wrapMessageText(text, kMessageBoxMaxTextWidth, textLineWidth);
  int textWidth = 0;
  for (const std::string& line : box.lines) textWidth = std::max(textWidth, textLineWidth(line.c_str()));
  box.layout = layOutMessageBox(textWidth, static_cast<int>(box.lines.size()) * windowFont().lineHeight);
  // Centred on the screen, as a Windows box without owner.
  box.window = SDL_CreateWindow(caption ? caption : "", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED,
                                box.layout.width, box.layout.height, SDL_WINDOW_SHOWN);
  if (!box.window) return false;
  box.id = SDL_GetWindowID(box.window);
  // The box takes the keyboard, so Enter closes it as on Windows.
  SDL_RaiseWindow(box.window);
  SDL_SetWindowInputFocus(box.window);
  paintBox(box);
  while (!box.closed && serveNextWindowEvent(boxTakes, &box)) {
  }
  destroyWindow(box.window);
  return true;
}

void showBoxOnWindowThread(void* context) {
  const BoxRequest& request = *static_cast<const BoxRequest*>(context);
  if (SDL_ShowSimpleMessageBox(SDL_MESSAGEBOX_INFORMATION, request.caption, request.text, nullptr) == 0) return;
  std::fprintf(stderr, "SDL's message box could not be shown (%s): showing the launcher's own\n", SDL_GetError());
  if (!runOwnBox(request.text, request.caption))
    std::fprintf(stderr, "No message box could be shown (%s): %s\n", SDL_GetError(), request.text ? request.text : "");
}

}  // namespace

void showMessageBoxForReal(const char* text, const char* caption) {
  BoxRequest request{text, caption};
  runOnWindowThread(showBoxOnWindowThread, &request);
}

}  // namespace platform
