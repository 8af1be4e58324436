// Xlib's errors in the launcher. Xlib reports an X error when it next reads
// from the connection the failed request went out on, which may be much
// later and on another thread, and its default handler prints the error and
// ends the process with exit code 1.
//
// Some errors name a window the launcher has already destroyed, and nothing
// the launcher does can keep them from coming: SDL wakes its own event wait
// with an X event that it sends to its newest window through a second
// connection of its own. While a message box waits for its answer, that
// window is the box, and the key or click that answers it is handled inside
// that wait, so a wake-up to the box is on its way when the box is destroyed
// right after, through the first connection. The X server serves the two
// connections in the order it reads them, and now and then it destroys the
// box first: the wake-up fails with BadWindow ("X_SendEvent"). An error
// about a window that is gone tells of nothing left to do; it must not end
// the launcher, and the worker that waited for the box must go on.
#pragma once

namespace platform {

// Takes over Xlib's error handling for the process, once; on the window
// thread, before SDL's video starts. An error about a window noted as gone
// (BadWindow or BadDrawable naming it) is written to standard error and
// otherwise ignored; every other error goes to the handler there was before
// (Xlib's default, which ends the process).
void handleXErrorsOfGoneWindows();

// Notes the X window as gone; called before the launcher destroys it. The
// last kRememberedGoneWindows windows noted are remembered.
void noteXWindowGone(unsigned long window);
constexpr int kRememberedGoneWindows = 64;

// True when an X error of that code naming that resource is about a window
// noted as gone.
bool isAboutGoneWindow(int errorCode, unsigned long resource);

}  // namespace platform
