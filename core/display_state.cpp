#include "core/display_state.h"

#include <atomic>
#include <cstring>

namespace core {

DisplayState displayState = {{0}, 0, 0, 0, 0, kDefaultTextColour, 0};

CCriticalSection::CCriticalSection() : mutex_(platform::createMutex()) {}

CCriticalSection::~CCriticalSection() = default;

bool CCriticalSection::enter() { return platform::waitMutex(mutex_, kUiLockWaitMs); }

void CCriticalSection::leave() { platform::releaseMutex(mutex_); }

// Nothing else in static initialisation uses the lock, so its place among the
// other initialisers does not matter.
CCriticalSection* uiLock = new CCriticalSection();

void enterUiLockPatiently() {
  while (!uiLock->enter()) {
  }
}

static std::atomic<RepaintHandler> repaintHandler{nullptr};

void setRepaintHandler(RepaintHandler handler) { repaintHandler = handler; }

void requestRepaint() {
  if (RepaintHandler handler = repaintHandler.load()) handler();
}

void setStatusText(DisplayState& state, const char* text) {
  std::strncpy(state.statusText, text ? text : "", sizeof state.statusText - 1);
  state.statusText[sizeof state.statusText - 1] = '\0';
}

void resetDisplayState(DisplayState& state) {
  setStatusText(state, "Loading...");
  state.fileProgressMax = 0;
  state.fileProgress = 0;
  state.totalProgressMax = 0;
  state.totalProgress = 0;
  state.closeButtonState = 1;
}

}  // namespace core
