#include "platform/memory.h"

namespace platform {

// Windows gives large pages only to a process holding the lock-pages right,
// through VirtualAlloc, never to memory the heap has handed out: no advice.
void adviseLargePages(void*, std::size_t) {}

}  // namespace platform
