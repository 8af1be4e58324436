// Large allocations. Touching fresh memory costs the system a fault per
// page; for the index's lists and the tools' tables (tens of MiB) those
// faults can cost more than the work done in the memory.
#pragma once

#include <cstddef>
#include <vector>

namespace platform {

// Asks the system to back [start, start + bytes), memory not yet touched,
// with large pages where it can (Linux: transparent huge pages, one fault
// per 2 MiB instead of per 4 KiB). Where the system has none or leaves them
// off, nothing changes; the memory works the same either way.
void adviseLargePages(void* start, std::size_t bytes);

// Reserves room for count elements in an empty list and gives that advice
// for it, when the room is large enough for it to matter.
template <class T>
void reserveLarge(std::vector<T>& list, std::size_t count) {
  list.reserve(count);
  adviseLargePages(list.data(), count * sizeof(T));
}

}  // namespace platform
