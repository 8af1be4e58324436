#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdint>

namespace platform {

void adviseLargePages(void* start, std::size_t bytes) {
  // Only whole large pages inside the range can be advised; the part before
  // the first boundary and after the last stays as it is.
  constexpr std::uintptr_t kLargePage = std::uintptr_t(2) << 20;
  std::uintptr_t from = reinterpret_cast<std::uintptr_t>(start);
  std::uintptr_t first = (from + kLargePage - 1) & ~(kLargePage - 1);
  std::uintptr_t last = (from + bytes) & ~(kLargePage - 1);
  if (start == nullptr || last <= first) return;
  // Advice only: a system without transparent huge pages refuses it, and the
  // memory is used with small pages as before.
  static_cast<void>(::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
}

}  // namespace platform
