// What the launcher window shows, and the lock that guards it.
//
// Worker threads write DisplayState under uiLock and then call
// requestRepaint; the paint on the window thread reads it under the same
// lock. uiLock waits at most 100 ms for the mutex:
//  - a writer whose wait runs out waits again, as often as needed: it never
//    writes a field without holding the lock, so the paint never sees a
//    half-written status line (use withUiLock / updateDisplay);
//  - the paint, whose thread must never block for long, takes one wait; when
//    it runs out it shows the previous picture again and asks for another
//    paint (see the window code).
#pragma once

#include <cstdint>

#include "platform/mutex.h"

namespace core {

struct DisplayState {
  char statusText[1024];
  std::uint32_t fileProgress;
  std::uint32_t fileProgressMax;  // 0 hides the upper bar
  std::uint32_t totalProgress;
  std::uint32_t totalProgressMax;  // 0 hides the lower bar
  std::uint32_t textColour;        // 0x00BBGGRR
  std::int32_t closeButtonState;   // 1 normal, 2 pointer over, 3 pressed
};

constexpr std::uint32_t kDefaultTextColour = 0xFFFFFE;
constexpr std::uint32_t kStartTextColour = 0x23EDFC;
constexpr unsigned kUiLockWaitMs = 100;

extern DisplayState displayState;

// The lock class: one unnamed mutex, waited for at most 100 ms.
class CCriticalSection {
 public:
  CCriticalSection();
  virtual ~CCriticalSection();  // leaves the mutex open: it lives as long as the process
  // One wait of at most 100 ms; true when the lock is now held.
  bool enter();
  // Gives the lock back; without effect when it is not held.
  void leave();

 private:
  platform::MutexHandle mutex_;
};

// Created during static initialisation, never destroyed.
extern CCriticalSection* uiLock;

// Takes uiLock, waiting again after each 100 ms that runs out. For the
// worker threads, which may wait; never for the window thread.
void enterUiLockPatiently();

// Runs change while holding uiLock.
template <class Change>
void withUiLock(Change&& change) {
  enterUiLockPatiently();
  change(displayState);
  uiLock->leave();
}

// Marks the whole window for a paint; returns at once, from any thread.
// Several requests before a paint give one paint.
void requestRepaint();
// The window connects its repaint here; until then requests go nowhere.
using RepaintHandler = void (*)();
void setRepaintHandler(RepaintHandler handler);

// Runs change under uiLock, then requests a repaint.
template <class Change>
void updateDisplay(Change&& change) {
  withUiLock(change);
  requestRepaint();
}

// Copies text into statusText, cut to fit.
void setStatusText(DisplayState& state, const char* text);

// The entry's start values: "Loading...", both bars hidden, close button normal.
void resetDisplayState(DisplayState& state);

}  // namespace core
