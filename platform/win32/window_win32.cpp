// The launcher window on Windows: a "V.L.M" popup window, GDI surfaces for
// the module's bitmaps and the back buffer, a layered window whose key
// colour no picture uses.
#include "platform/window.h"

#include <windows.h>

namespace platform {

namespace {

constexpr int kMaxImages = 64;

HINSTANCE instanceHandle = nullptr;
int firstImageId = 0;
int imageCount = 0;
HDC imageTable[kMaxImages] = {};
HWND mainWindow = nullptr;
HDC backBuffer = nullptr;
BLENDFUNCTION backgroundBlend = {};
WindowHandlers handlers = {};

HDC image(int id) {
  int index = id - firstImageId;
  return index >= 0 && index < imageCount ? imageTable[index] : nullptr;
}

// Win32 hands out positions as two signed 16-bit halves.
std::int16_t lowWord(LPARAM value) { return static_cast<std::int16_t>(LOWORD(value)); }
std::int16_t highWord(LPARAM value) { return static_cast<std::int16_t>(HIWORD(value)); }

LRESULT CALLBACK windowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      if (handlers.paint) handlers.paint();
      return 0;
    case WM_MOUSEMOVE:
      if (handlers.pointerMove) handlers.pointerMove(lowWord(lParam), highWord(lParam), static_cast<unsigned>(wParam));
      return 0;
    case WM_LBUTTONDOWN:
      if (handlers.leftButtonDown) handlers.leftButtonDown(lowWord(lParam), highWord(lParam));
      return 0;
    case WM_LBUTTONUP:
      if (handlers.leftButtonUp) handlers.leftButtonUp(lowWord(lParam), highWord(lParam));
      return 0;
    case WM_CLOSE:
      // The system's close (Alt+F4, the task bar) ends the launcher like the
      // close button; left to the default it would destroy the window and
      // leave the process running without one.
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

// The pictures carry no alpha of their own, but a bitmap loaded for a 32-bit
// screen holds alpha 0 in every pixel, and a per-pixel alpha blend of such a
// bitmap adds it onto what lies below (colours overflow). Opaque alpha makes
// the background's second, blended pass give the same picture as the first.
void makeOpaque(HBITMAP bitmap) {
  BITMAP info = {};
  if (!bitmap || !GetObjectA(bitmap, sizeof info, &info) || info.bmBitsPixel != 32) return;
  BITMAPINFO layout = {};
  layout.bmiHeader.biSize = sizeof layout.bmiHeader;
  layout.bmiHeader.biWidth = info.bmWidth;
  layout.bmiHeader.biHeight = -info.bmHeight;
  layout.bmiHeader.biPlanes = 1;
  layout.bmiHeader.biBitCount = 32;
  layout.bmiHeader.biCompression = BI_RGB;
  const int pixels = info.bmWidth * info.bmHeight;
  DWORD* bits = static_cast<DWORD*>(HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(pixels) * 4));
  if (!bits) return;
  HDC screen = GetDC(nullptr);
  if (GetDIBits(screen, bitmap, 0, static_cast<UINT>(info.bmHeight), bits, &layout, DIB_RGB_COLORS)) {
    for (int i = 0; i < pixels; ++i) bits[i] |= 0xFF000000u;
    SetDIBits(screen, bitmap, 0, static_cast<UINT>(info.bmHeight), bits, &layout, DIB_RGB_COLORS);
  }
  ReleaseDC(nullptr, screen);
  HeapFree(GetProcessHeap(), 0, bits);
}

}  // namespace

void loadImageTable(ImageModule module, int firstId, int count) {
  instanceHandle = static_cast<HINSTANCE>(module);
  firstImageId = firstId;
  imageCount = count < kMaxImages ? count : kMaxImages;
  HDC screen = GetDC(nullptr);
  for (int k = 0; k < imageCount; ++k) {
    imageTable[k] = CreateCompatibleDC(screen);
    HBITMAP bitmap = LoadBitmapA(instanceHandle, MAKEINTRESOURCEA(firstId + k));
    makeOpaque(bitmap);
    SelectObject(imageTable[k], bitmap);
  }
  ReleaseDC(nullptr, screen);
}

bool createMainWindow(const WindowHandlers& windowHandlers) {
  handlers = windowHandlers;
  HINSTANCE module = GetModuleHandleA(nullptr);
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;  // 48
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = windowProcedure;
  windowClass.hInstance = module;
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  windowClass.lpszClassName = "V.L.M";
  RegisterClassExA(&windowClass);
  const int left = GetSystemMetrics(SM_CXSCREEN) / 2 - 200;
  const int top = GetSystemMetrics(SM_CYSCREEN) / 2 - 150;
  mainWindow = CreateWindowExA(0, "V.L.M", "V.L.M", WS_POPUP, left, top, kWindowWidth, kWindowHeight, nullptr, nullptr,
                               module, nullptr);
  if (!mainWindow) return false;
  ShowWindow(mainWindow, SW_SHOWNORMAL);
  return true;
}

bool createBackBuffer() {
  HDC screen = GetDC(nullptr);
  backBuffer = CreateCompatibleDC(screen);
  SelectObject(backBuffer, CreateCompatibleBitmap(screen, kWindowWidth, kWindowHeight));
  ReleaseDC(nullptr, screen);
  HFONT font = CreateFontA(13, 0, 0, 0, 0, FALSE, FALSE, FALSE, 0, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, "Tahoma");
  SelectObject(backBuffer, font);
  SetBkMode(backBuffer, TRANSPARENT);
  return backBuffer != nullptr;
}

void makeMainWindowLayered() {
  using SetLayeredWindowAttributesFn = BOOL(WINAPI*)(HWND, COLORREF, BYTE, DWORD);
  HMODULE user32 = LoadLibraryA("user32");
  SetWindowLongA(mainWindow, GWL_EXSTYLE, GetWindowLongA(mainWindow, GWL_EXSTYLE) | 0x80000);  // WS_EX_LAYERED
  if (user32) {
    auto setLayered = reinterpret_cast<SetLayeredWindowAttributesFn>(
        reinterpret_cast<void*>(GetProcAddress(user32, "SetLayeredWindowAttributes")));
    if (setLayered) setLayered(mainWindow, 0xD8E9EC, 255, 3);  // LWA_COLORKEY | LWA_ALPHA
    FreeLibrary(user32);
  }
}

void setBackgroundBlend(std::uint32_t blend) {
  backgroundBlend.BlendOp = static_cast<BYTE>(blend);
  backgroundBlend.BlendFlags = static_cast<BYTE>(blend >> 8);
  backgroundBlend.SourceConstantAlpha = static_cast<BYTE>(blend >> 16);
  backgroundBlend.AlphaFormat = static_cast<BYTE>(blend >> 24);
}

void repaintMainWindow() {
  // RedrawWindow only marks the window; the paint comes later, once.
  if (HWND window = mainWindow) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE);
}

int runMessageLoop() {
  MSG message;
  // GetMessageA gives 0 for WM_QUIT and -1 on error; both end the loop.
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return message.message == WM_QUIT ? static_cast<int>(message.wParam) : 0;
}

void destroyMainWindow() {
  HWND window = mainWindow;
  mainWindow = nullptr;
  if (window) DestroyWindow(window);
}

void copyImageToBackBuffer(int imageId, int x, int y, int width, int height, int sourceX, int sourceY) {
  HDC source = image(imageId);
  if (!source || !backBuffer || width <= 0 || height <= 0) return;
  BitBlt(backBuffer, x, y, width, height, source, sourceX, sourceY, SRCCOPY);
}

void blendImageOverBackBuffer(int imageId, int x, int y, int width, int height) {
  HDC source = image(imageId);
  if (!source || !backBuffer) return;
  AlphaBlend(backBuffer, x, y, width, height, source, 0, 0, width, height, backgroundBlend);
}

void drawTextInBackBuffer(const char* text, int left, int top, int right, int bottom, std::uint32_t colour) {
  if (!backBuffer || !text) return;
  RECT rect = {left, top, right, bottom};
  SetTextColor(backBuffer, colour);
  DrawTextA(backBuffer, text, -1, &rect, DT_CENTER);
}

void presentBackBuffer() {
  if (!mainWindow) return;
  PAINTSTRUCT paint;
  HDC target = BeginPaint(mainWindow, &paint);
  if (backBuffer) BitBlt(target, 0, 0, kWindowWidth, kWindowHeight, backBuffer, 0, 0, SRCCOPY);
  EndPaint(mainWindow, &paint);
}

void beginWindowDrag() {
  // The default handling of a caption press moves the window until release.
  SendMessageA(mainWindow, WM_NCLBUTTONDOWN, HTCAPTION, 0);
}

void postQuit(int code) { PostQuitMessage(code); }

}  // namespace platform
