// The Linux window thread as the launcher's other windows see it.
//
// SDL's video calls belong to the thread that created the main window; SDL's
// own message box among them, which raises windows and resets the keyboard
// and the cursor of the video state the window thread works with. A worker
// that needs a window therefore hands the work to the window thread and waits
// for it there, as a worker on Windows waits in a modal box.
#pragma once

#include <SDL.h>
#include <SDL_ttf.h>

namespace platform {

// Runs job(context) on the window thread, from its message loop, and returns
// once the job has returned. On the window thread itself, and in a process
// that never made a main window, it runs the job at once. A job handed over
// when the message loop has ended never runs: the process is ending.
void runOnWindowThread(void (*job)(void* context), void* context);

// Starts SDL's video for the launcher's windows, once, on the window thread:
// its X11 class and hints, and Xlib's errors about windows the launcher has
// destroyed kept from ending it (x_errors.h). False when there is no video.
bool startWindowSystem();

// Destroys one of the launcher's windows after noting its X window as gone,
// so that a late X error about it cannot end the launcher.
void destroyWindow(SDL_Window* window);

// For a job that waits for the player on the window thread: waits for the
// next event and lets take(event, context) claim it; an event not claimed is
// handled as the message loop handles it, so the launcher window goes on
// painting, dragging and closing meanwhile. False when the message loop is to
// end (a quit, which stays queued for the loop): the job should end too.
bool serveNextWindowEvent(bool (*take)(const SDL_Event& event, void* context), void* context);

// The window's text font and where its lines go: text drawn at a top edge
// has its baseline ascent pixels below it, and each line break moves down by
// lineHeight (the cell), as GDI draws.
struct WindowFont {
  TTF_Font* font = nullptr;
  int ascent = 0;
  int lineHeight = 0;
};

// The launcher window's font, opened on first use on the window thread; its
// font is null when none could be opened.
const WindowFont& windowFont();

// Draws one line of Latin-1 text with its cell's top-left corner at (x, top)
// (as GDI places it) into the surface, within its clip rectangle.
void drawTextLine(SDL_Surface* target, const char* text, int x, int top, SDL_Color colour);

// The width in pixels of one line of Latin-1 text in the window's font.
int textLineWidth(const char* text);

}  // namespace platform
