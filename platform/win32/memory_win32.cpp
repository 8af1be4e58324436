#include "platform/memory.h"

#include <cstdlib>

namespace platform {

// Windows gives large pages only to a process holding the lock-pages right,
// through VirtualAlloc, never to memory the heap has handed out: no advice,
// and large tables come from the heap like any other memory.
void adviseLargePages(void*, std::size_t) {}

// The heap is left as Windows runs it.
void preferLargePagesForHeap(std::size_t) {}

void* allocateLarge(std::size_t bytes) { return std::malloc(bytes == 0 ? 1 : bytes); }

void releaseLarge(void* block, std::size_t) { std::free(block); }

}  // namespace platform
