// The launcher window and its drawing surfaces: one borderless 400 x 300
// window, an image table, and a back buffer every paint is composed in.
//
// Win32: a "V.L.M" window class, GDI surfaces (CreateCompatibleDC), the
// bitmap resources of the module, a layered window with a colour key.
// Linux: an SDL2 borderless window, SDL surfaces holding BMP files built into
// the executable, text through SDL2_ttf (see linux/window_font.h).
//
// All of it runs on the window thread, except repaintMainWindow, which any
// thread may call.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

#if defined(_WIN32)
// The module instance whose bitmap resources the images come from (HINSTANCE).
using ImageModule = void*;
#else
// A BMP file built into the executable, by its resource id.
struct EmbeddedBitmap {
  int id;
  const unsigned char* data;
  std::size_t size;
};
struct EmbeddedBitmaps {
  const EmbeddedBitmap* items;
  int count;
};
using ImageModule = const EmbeddedBitmaps*;
#endif

// The window's size in pixels, fixed: the layout of everything drawn in it
// (ui/paint_layout.h) is made for it.
constexpr int kWindowWidth = 400;
constexpr int kWindowHeight = 300;

// Key flags of a pointer message, as Win32 reports them (MK_*); the Linux
// window reports the same values.
constexpr unsigned kKeyLeftButton = 0x0001;    // MK_LBUTTON
constexpr unsigned kKeyRightButton = 0x0002;   // MK_RBUTTON
constexpr unsigned kKeyShift = 0x0004;         // MK_SHIFT
constexpr unsigned kKeyControl = 0x0008;       // MK_CONTROL
constexpr unsigned kKeyMiddleButton = 0x0010;  // MK_MBUTTON

// What the window does with its messages; called on the window thread.
struct WindowHandlers {
  void (*paint)();
  // Positions are window-relative, signed 16-bit; key flags as Win32's MK_*.
  void (*pointerMove)(std::int16_t x, std::int16_t y, unsigned keyFlags);
  void (*leftButtonDown)(std::int16_t x, std::int16_t y);
  void (*leftButtonUp)(std::int16_t x, std::int16_t y);
};

// Loads the images with ids firstId to firstId + count - 1 into the image
// table, each into its own surface. Missing ones stay empty.
void loadImageTable(ImageModule module, int firstId, int count);

// Registers the window class, creates the borderless window centred from the
// primary screen's size (left = width / 2 - 200, top = height / 2 - 150) and
// shows it. False when no window could be made.
bool createMainWindow(const WindowHandlers& handlers);

// The 400 x 300 back buffer with the font "Tahoma" of cell height 13 and
// transparent text. On Linux: fonts-wine's Tahoma-compatible face, DejaVu
// Sans where it is missing, at the size and baseline GDI gives that height.
bool createBackBuffer();

// Pixels of the key colour 0xD8E9EC become see-through; no picture uses it.
void makeMainWindowLayered();

// The blend descriptor of the second background pass, bytes lowest first:
// operation, flags, constant alpha, alpha format.
void setBackgroundBlend(std::uint32_t blend);

// Marks the whole window for a paint and returns at once; several requests
// before the paint give one paint. Callable from any thread, also before the
// window exists (then nothing happens).
void repaintMainWindow();

// Runs the message loop until a quit arrives; returns its exit code.
int runMessageLoop();

void destroyMainWindow();

// Drawing into the back buffer. Copies take only the source image's own
// pixels: a rectangle reaching beyond the image copies what lies inside it.
void copyImageToBackBuffer(int imageId, int x, int y, int width, int height, int sourceX, int sourceY);
// Blends the image over the back buffer with the background blend.
void blendImageOverBackBuffer(int imageId, int x, int y, int width, int height);
// Draws text centred in the rectangle, top-aligned, clipped, in colour
// 0x00BBGGRR, on a transparent background; a line break starts a new line.
void drawTextInBackBuffer(const char* text, int left, int top, int right, int bottom, std::uint32_t colour);

// Copies the back buffer to the window in one step; called once per paint.
void presentBackBuffer();

// Moves the window with the pointer until the left button is released; the
// release is used up by the move.
void beginWindowDrag();

// Ends the message loop with the code.
void postQuit(int code);

}  // namespace platform
