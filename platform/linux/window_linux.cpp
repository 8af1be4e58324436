// The launcher window on Linux: an SDL2 borderless window, SDL surfaces for
// the images and the back buffer, SDL2_ttf for the text.
//
// Repaint requests from any thread are folded into one paint: a flag that
// the first request sets pushes one user event; the window thread clears it
// when it takes the event and paints. Work that other threads hand to the
// window thread (see window_thread.h) comes as a user event too.
#include "platform/window.h"

#include <SDL.h>
#include <SDL_syswm.h>
#include <SDL_ttf.h>
#include <X11/Xlib.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/linux/window_font.h"
#include "platform/linux/window_thread.h"
#include "platform/linux/x_errors.h"

namespace platform {

namespace {

constexpr int kFontCellHeight = 13;
constexpr int kMaxImages = 64;
// Font files are a few hundred kilobytes; a larger one is not read.
constexpr std::streamsize kMaxFontFileBytes = 32 * 1024 * 1024;

int firstImageId = 0;
int imageCount = 0;
SDL_Surface* imageTable[kMaxImages] = {};
SDL_Window* mainWindow = nullptr;
SDL_Surface* backBuffer = nullptr;
std::uint32_t backgroundBlend = 0;
WindowHandlers handlers = {};

std::atomic<bool> windowReady{false};
std::atomic<bool> repaintPending{false};
Uint32 repaintEvent = 0;
Uint32 quitEvent = 0;
Uint32 jobEvent = 0;

// The thread that made the main window; set once, before any worker starts.
std::atomic<bool> windowThreadKnown{false};
SDL_threadID windowThread = 0;

// A job handed to the window thread, and the caller waiting for it.
struct WindowJob {
  void (*run)(void*);
  void* context;
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
};

// Dragging: where the pointer and the window were when the press began.
bool dragging = false;
int dragPointerX = 0, dragPointerY = 0, dragWindowX = 0, dragWindowY = 0;

SDL_Surface* image(int id) {
  int index = id - firstImageId;
  return index >= 0 && index < imageCount ? imageTable[index] : nullptr;
}

// A font file's bytes; none when it cannot be read or is too large.
std::vector<unsigned char> fontFileBytes(const std::string& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  const std::streamsize size = in ? static_cast<std::streamsize>(in.tellg()) : 0;
  std::vector<unsigned char> bytes(size > 0 && size <= kMaxFontFileBytes ? static_cast<std::size_t>(size) : 0);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// The font at GDI's size for cell height 13. A face without the Windows
// metrics takes the largest size whose cell fits.
WindowFont openWindowFont() {
  WindowFont opened;
  if (TTF_WasInit() == 0 && TTF_Init() != 0) return opened;
  const std::string file = windowFontFile();
  const std::vector<unsigned char> bytes = fontFileBytes(file);
  FontMetrics metrics;
  if (readFontMetrics(bytes.data(), bytes.size(), &metrics)) {
    const int em = emSizeForCellHeight(kFontCellHeight, metrics);
    opened.font = em > 0 ? TTF_OpenFont(file.c_str(), em) : nullptr;
    opened.ascent = ascentAtEmSize(em, metrics);
  } else {
    for (int points = kFontCellHeight; points > 4 && !opened.font; --points) {
      opened.font = TTF_OpenFont(file.c_str(), points);
      if (opened.font && TTF_FontHeight(opened.font) > kFontCellHeight) {
        TTF_CloseFont(opened.font);
        opened.font = nullptr;
      }
    }
    if (opened.font) opened.ascent = TTF_FontAscent(opened.font);
  }
  if (!opened.font) std::fprintf(stderr, "No window font from %s: %s\n", file.c_str(), TTF_GetError());
  opened.lineHeight = kFontCellHeight;
  return opened;
}

void runJob(WindowJob& job) {
  job.run(job.context);
  std::lock_guard<std::mutex> hold(job.mutex);
  job.done = true;
  job.finished.notify_all();
}

// The window an input or window event belongs to; 0 for others.
Uint32 windowOf(const SDL_Event& event) {
  switch (event.type) {
    case SDL_WINDOWEVENT:
      return event.window.windowID;
    case SDL_MOUSEMOTION:
      return event.motion.windowID;
    case SDL_MOUSEBUTTONDOWN:
    case SDL_MOUSEBUTTONUP:
      return event.button.windowID;
    case SDL_MOUSEWHEEL:
      return event.wheel.windowID;
    case SDL_KEYDOWN:
    case SDL_KEYUP:
      return event.key.windowID;
    case SDL_TEXTINPUT:
      return event.text.windowID;
    case SDL_TEXTEDITING:
      return event.edit.windowID;
    default:
      return 0;
  }
}

unsigned keyFlagsOf(Uint32 buttons) {
  unsigned flags = 0;
  if (buttons & SDL_BUTTON_LMASK) flags |= kKeyLeftButton;
  if (buttons & SDL_BUTTON_RMASK) flags |= kKeyRightButton;
  if (buttons & SDL_BUTTON_MMASK) flags |= kKeyMiddleButton;
  SDL_Keymod mods = SDL_GetModState();
  if (mods & KMOD_SHIFT) flags |= kKeyShift;
  if (mods & KMOD_CTRL) flags |= kKeyControl;
  return flags;
}

std::int16_t toInt16(int v) { return static_cast<std::int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v); }

// The pointer's screen position now. On X11 asked of the server: SDL's own
// answer is cached and goes stale while the pointer is grabbed.
void globalPointer(int* x, int* y) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWindowWMInfo(mainWindow, &info) && info.subsystem == SDL_SYSWM_X11) {
    ::Window root = 0, child = 0;
    int windowX = 0, windowY = 0;
    unsigned mask = 0;
    if (XQueryPointer(info.info.x11.display, DefaultRootWindow(info.info.x11.display), &root, &child, x, y, &windowX,
                      &windowY, &mask))
      return;
  }
  SDL_GetGlobalMouseState(x, y);
}

void moveWithPointer() {
  int x = 0, y = 0;
  globalPointer(&x, &y);
  int windowX = 0, windowY = 0;
  SDL_GetWindowPosition(mainWindow, &windowX, &windowY);
  const int targetX = dragWindowX + x - dragPointerX, targetY = dragWindowY + y - dragPointerY;
  if (targetX != windowX || targetY != windowY) SDL_SetWindowPosition(mainWindow, targetX, targetY);
}

void handleEvent(const SDL_Event& event) {
  if (event.type == repaintEvent) {
    repaintPending = false;
    if (handlers.paint) handlers.paint();
    return;
  }
  if (event.type == jobEvent) {
    runJob(*static_cast<WindowJob*>(event.user.data1));
    return;
  }
  // Events of other windows (a box that was closed) are not the launcher's.
  const Uint32 window = windowOf(event);
  if (window != 0 && (!mainWindow || window != SDL_GetWindowID(mainWindow))) return;
  switch (event.type) {
    case SDL_WINDOWEVENT:
      if (event.window.event == SDL_WINDOWEVENT_EXPOSED || event.window.event == SDL_WINDOWEVENT_SHOWN)
        repaintMainWindow();
      break;
    case SDL_MOUSEMOTION:
      if (!dragging && handlers.pointerMove) {
        handlers.pointerMove(toInt16(event.motion.x), toInt16(event.motion.y), keyFlagsOf(event.motion.state));
      }
      break;
    case SDL_MOUSEBUTTONDOWN:
      if (event.button.button == SDL_BUTTON_LEFT && handlers.leftButtonDown)
        handlers.leftButtonDown(toInt16(event.button.x), toInt16(event.button.y));
      break;
    case SDL_MOUSEBUTTONUP:
      if (event.button.button != SDL_BUTTON_LEFT) break;
      if (dragging) {  // the move uses the release up
        moveWithPointer();
        dragging = false;
        SDL_CaptureMouse(SDL_FALSE);
      } else if (handlers.leftButtonUp) {
        handlers.leftButtonUp(toInt16(event.button.x), toInt16(event.button.y));
      }
      break;
    default:
      break;
  }
}

// The next event; while a drag lasts the window follows the pointer by
// polling it, since SDL drops motion events whose window-relative position
// repeats, which is just what a window that follows the pointer produces.
// False when none came: the wait failed, or a drag's poll was empty.
bool nextEvent(SDL_Event* event) {
  const int got = dragging ? SDL_WaitEventTimeout(event, 10) : SDL_WaitEvent(event);
  if (dragging) moveWithPointer();
  return got != 0;
}

// True for the events that end the message loop, with its exit code: the
// quit posted from the close button; the window manager's close of the
// launcher window, or a terminal's interrupt, count as a release on the
// close button, so no launcher lingers without a window.
bool endsTheLoop(const SDL_Event& event, int* code) {
  if (event.type == quitEvent) {
    *code = event.user.code;
    return true;
  }
  const bool closed = event.type == SDL_WINDOWEVENT && event.window.event == SDL_WINDOWEVENT_CLOSE && mainWindow &&
                      event.window.windowID == SDL_GetWindowID(mainWindow);
  if (event.type == SDL_QUIT || closed) {
    *code = 0;
    return true;
  }
  return false;
}

}  // namespace

void loadImageTable(ImageModule module, int firstId, int count) {
  firstImageId = firstId;
  imageCount = count < kMaxImages ? count : kMaxImages;
  if (!module) return;
  for (int k = 0; k < imageCount; ++k) {
    for (int i = 0; i < module->count; ++i) {
      const EmbeddedBitmap& bitmap = module->items[i];
      if (bitmap.id != firstId + k) continue;
      SDL_Surface* loaded = SDL_LoadBMP_RW(SDL_RWFromConstMem(bitmap.data, static_cast<int>(bitmap.size)), 1);
      if (!loaded) break;
      // The screen's pixel format, as a Win32 compatible bitmap has; the
      // images carry no alpha of their own.
      imageTable[k] = SDL_ConvertSurfaceFormat(loaded, SDL_PIXELFORMAT_RGB888, 0);
      SDL_FreeSurface(loaded);
      break;
    }
  }
}

bool startWindowSystem() {
  if (SDL_WasInit(SDL_INIT_VIDEO)) return true;
  // The X11 class of the windows, as the Win32 class name is "V.L.M".
  setenv("SDL_VIDEO_X11_WMCLASS", "V.L.M", 0);
  SDL_SetHint(SDL_HINT_MOUSE_FOCUS_CLICKTHROUGH, "1");
  SDL_SetHint(SDL_HINT_VIDEO_X11_NET_WM_BYPASS_COMPOSITOR, "0");
  // Window surfaces go to the X server as they are, not through an OpenGL
  // texture: for that SDL gives a window a new X window on its first paint,
  // and the launcher window, made anew and mapped over a box that came
  // before its first paint, hides the box and takes its keyboard.
  SDL_SetHint(SDL_HINT_FRAMEBUFFER_ACCELERATION, "0");
  handleXErrorsOfGoneWindows();
  return SDL_InitSubSystem(SDL_INIT_VIDEO) == 0;
}

void destroyWindow(SDL_Window* window) {
  SDL_SysWMinfo info;
  SDL_VERSION(&info.version);
  if (SDL_GetWindowWMInfo(window, &info) && info.subsystem == SDL_SYSWM_X11) noteXWindowGone(info.info.x11.window);
  SDL_DestroyWindow(window);
}

bool createMainWindow(const WindowHandlers& windowHandlers) {
  handlers = windowHandlers;
  if (!startWindowSystem()) {
    std::fprintf(stderr, "SDL_Init: %s\n", SDL_GetError());
    return false;
  }
  repaintEvent = SDL_RegisterEvents(3);
  quitEvent = repaintEvent + 1;
  jobEvent = repaintEvent + 2;
  SDL_DisplayMode screen{};
  if (SDL_GetDesktopDisplayMode(0, &screen) != 0) {
    screen.w = kWindowWidth;
    screen.h = kWindowHeight;
  }
  // Integer halving truncates toward zero, as on Windows.
  const int left = screen.w / 2 - 200;
  const int top = screen.h / 2 - 150;
  mainWindow =
      SDL_CreateWindow("V.L.M", left, top, kWindowWidth, kWindowHeight, SDL_WINDOW_BORDERLESS | SDL_WINDOW_SHOWN);
  if (!mainWindow) {
    std::fprintf(stderr, "SDL_CreateWindow: %s\n", SDL_GetError());
    return false;
  }
  windowThread = SDL_ThreadID();
  windowThreadKnown = true;
  windowReady = true;
  return true;
}

bool createBackBuffer() {
  backBuffer = SDL_CreateRGBSurfaceWithFormat(0, kWindowWidth, kWindowHeight, 32, SDL_PIXELFORMAT_RGB888);
  return backBuffer != nullptr && windowFont().font != nullptr;
}

void makeMainWindowLayered() {
  // Nothing to do: no picture has the key colour, so an opaque borderless
  // window looks the same as a colour-keyed one.
}

void setBackgroundBlend(std::uint32_t blend) { backgroundBlend = blend; }

void repaintMainWindow() {
  if (!windowReady.load()) return;
  if (repaintPending.exchange(true)) return;
  SDL_Event event{};
  event.type = repaintEvent;
  if (SDL_PushEvent(&event) != 1) repaintPending = false;
}

int runMessageLoop() {
  SDL_Event event;
  int code = 0;
  for (;;) {
    if (!nextEvent(&event)) {
      if (dragging) continue;
      return 0;
    }
    if (endsTheLoop(event, &code)) return code;
    handleEvent(event);
  }
}

bool serveNextWindowEvent(bool (*take)(const SDL_Event&, void*), void* context) {
  SDL_Event event;
  if (!nextEvent(&event)) return dragging;
  if (take && take(event, context)) return true;
  int code = 0;
  if (endsTheLoop(event, &code)) {
    SDL_PushEvent(&event);
    return false;
  }
  handleEvent(event);
  return true;
}

void runOnWindowThread(void (*job)(void*), void* context) {
  if (!windowThreadKnown.load() || SDL_ThreadID() == windowThread) {
    job(context);
    return;
  }
  WindowJob handed{job, context, {}, {}, false};
  SDL_Event event{};
  event.type = jobEvent;
  event.user.data1 = &handed;
  if (SDL_PushEvent(&event) != 1) {
    std::fprintf(stderr, "The window thread could not be asked: %s\n", SDL_GetError());
    return;
  }
  std::unique_lock<std::mutex> hold(handed.mutex);
  handed.finished.wait(hold, [&] { return handed.done; });
}

const WindowFont& windowFont() {
  static const WindowFont font = openWindowFont();
  return font;
}

void drawTextLine(SDL_Surface* target, const char* text, int x, int top, SDL_Color colour) {
  const WindowFont& font = windowFont();
  if (!target || !font.font || !text || !*text) return;
  if (SDL_Surface* rendered = TTF_RenderText_Blended(font.font, text, colour)) {
    SDL_Rect to{x, top + font.ascent - TTF_FontAscent(font.font), rendered->w, rendered->h};
    SDL_BlitSurface(rendered, nullptr, target, &to);
    SDL_FreeSurface(rendered);
  }
}

int textLineWidth(const char* text) {
  int width = 0;
  if (windowFont().font && text && *text) TTF_SizeText(windowFont().font, text, &width, nullptr);
  return width;
}

void destroyMainWindow() {
  windowReady = false;
  if (mainWindow) destroyWindow(mainWindow);
  mainWindow = nullptr;
}

void copyImageToBackBuffer(int imageId, int x, int y, int width, int height, int sourceX, int sourceY) {
  SDL_Surface* source = image(imageId);
  if (!source || !backBuffer || width <= 0 || height <= 0) return;
  SDL_Rect from{sourceX, sourceY, width, height};
  SDL_Rect to{x, y, width, height};
  SDL_SetSurfaceBlendMode(source, SDL_BLENDMODE_NONE);
  // SDL cuts the source rectangle to the image, so nothing comes from beyond it.
  SDL_BlitSurface(source, &from, backBuffer, &to);
}

void blendImageOverBackBuffer(int imageId, int x, int y, int width, int height) {
  SDL_Surface* source = image(imageId);
  if (!source || !backBuffer) return;
  const Uint8 constantAlpha = static_cast<Uint8>(backgroundBlend >> 16);
  // The images have no alpha channel: their per-pixel alpha counts as opaque,
  // so with constant alpha 255 this pass leaves the first one as it was.
  SDL_SetSurfaceBlendMode(source, SDL_BLENDMODE_BLEND);
  SDL_SetSurfaceAlphaMod(source, constantAlpha);
  SDL_Rect from{0, 0, width, height};
  SDL_Rect to{x, y, width, height};
  SDL_BlitSurface(source, &from, backBuffer, &to);
  SDL_SetSurfaceAlphaMod(source, 255);
  SDL_SetSurfaceBlendMode(source, SDL_BLENDMODE_NONE);
}

void drawTextInBackBuffer(const char* text, int left, int top, int right, int bottom, std::uint32_t colour) {
  if (!backBuffer || !text) return;
  const WindowFont& font = windowFont();
  if (!font.font) return;
  const SDL_Color fill{static_cast<Uint8>(colour & 0xFF), static_cast<Uint8>((colour >> 8) & 0xFF),
                       static_cast<Uint8>((colour >> 16) & 0xFF), 255};
  SDL_Rect clip{left, top, right - left, bottom - top};
  SDL_SetClipRect(backBuffer, &clip);
  int lineTop = top;
  const char* line = text;
  // One line per line break; each is centred on its own.
  while (lineTop < bottom) {
    const char* end = std::strpbrk(line, "\r\n");
    std::string piece = end ? std::string(line, end) : std::string(line);
    // The status texts are Latin-1 narrow text, as the Windows code page.
    drawTextLine(backBuffer, piece.c_str(), left + (right - left - textLineWidth(piece.c_str())) / 2, lineTop, fill);
    if (!end) break;
    line = end + ((end[0] == '\r' && end[1] == '\n') ? 2 : 1);
    lineTop += font.lineHeight;
  }
  SDL_SetClipRect(backBuffer, nullptr);
}

void presentBackBuffer() {
  if (!mainWindow || !backBuffer) return;
  SDL_Surface* screen = SDL_GetWindowSurface(mainWindow);
  if (!screen) return;
  SDL_SetSurfaceBlendMode(backBuffer, SDL_BLENDMODE_NONE);
  SDL_BlitSurface(backBuffer, nullptr, screen, nullptr);
  SDL_UpdateWindowSurface(mainWindow);
}

void beginWindowDrag() {
  // Moved by hand rather than by the window manager, so a drag works with
  // any manager and with none.
  dragging = true;
  globalPointer(&dragPointerX, &dragPointerY);
  SDL_GetWindowPosition(mainWindow, &dragWindowX, &dragWindowY);
  SDL_CaptureMouse(SDL_TRUE);
}

void postQuit(int code) {
  SDL_Event event{};
  event.type = quitEvent;
  event.user.code = code;
  SDL_PushEvent(&event);
}

}  // namespace platform
