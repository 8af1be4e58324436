#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace platform {

namespace {

constexpr std::uintptr_t kPage = 4096;
constexpr std::uintptr_t kLargePage = std::uintptr_t(2) << 20;

// Below this a table is left to the heap: rounded up to a large page, it
// would waste more than it holds.
constexpr std::size_t kLargeBlockLeast = kLargePage;

std::size_t roundedToLargePages(std::size_t bytes) { return (bytes + kLargePage - 1) & ~(kLargePage - 1); }

// Blocks given back are kept, up to this many bytes, for the tables made
// after them: memory the process has touched is ready at once, where fresh
// memory costs the system a fault, a zeroed page and often more (in a
// virtual machine, the host's own faults) before the first byte is stored.
constexpr std::size_t kKeptBytesMost = std::size_t(256) << 20;

struct KeptRun {
  std::uintptr_t start;
  std::size_t size;
};

struct KeptBlocks {
  std::mutex lock;
  std::vector<KeptRun> runs;
  std::size_t total = 0;
};

KeptBlocks& keptBlocks() {
  static KeptBlocks* kept = new KeptBlocks;  // lives until the process ends
  return *kept;
}

// The front of a kept run at least size long, or 0.
std::uintptr_t takeKept(std::size_t size) {
  KeptBlocks& kept = keptBlocks();
  std::lock_guard<std::mutex> hold(kept.lock);
  for (std::size_t i = 0; i < kept.runs.size(); ++i) {
    KeptRun& run = kept.runs[i];
    if (run.size < size) continue;
    std::uintptr_t start = run.start;
    run.start += size;
    run.size -= size;
    kept.total -= size;
    if (run.size == 0) kept.runs.erase(kept.runs.begin() + static_cast<std::ptrdiff_t>(i));
    return start;
  }
  return 0;
}

bool keep(std::uintptr_t start, std::size_t size) {
  KeptBlocks& kept = keptBlocks();
  std::lock_guard<std::mutex> hold(kept.lock);
  if (kept.total + size > kKeptBytesMost) return false;
  kept.runs.push_back({start, size});
  kept.total += size;
  return true;
}

}  // namespace

void adviseLargePages(void* start, std::size_t bytes) {
  if (start == nullptr) return;
  std::uintptr_t from = reinterpret_cast<std::uintptr_t>(start);
  // Only whole large pages inside the range can be advised; the part before
  // the first boundary and after the last stays as it is.
  std::uintptr_t first = (from + kLargePage - 1) & ~(kLargePage - 1);
  std::uintptr_t last = (from + bytes) & ~(kLargePage - 1);
  // Advice only: a system without transparent huge pages refuses it, and the
  // memory is used with small pages as before.
  if (last > first) static_cast<void>(::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
  // The whole pages of the range set up in one call (Linux 5.14 and later;
  // an older system refuses, and the pages come one fault at a time).
  std::uintptr_t pagesFrom = (from + kPage - 1) & ~(kPage - 1);
  std::uintptr_t pagesTo = (from + bytes) & ~(kPage - 1);
  if (pagesTo > pagesFrom)
    static_cast<void>(::madvise(reinterpret_cast<void*>(pagesFrom), pagesTo - pagesFrom, MADV_POPULATE_WRITE));
}

void preferLargePagesForHeap(std::size_t bytes) {
  // Threads of their own arenas would allocate from mappings of their own.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(bytes));
  mallopt(M_TOP_PAD, static_cast<int>(bytes));
  // One block that the heap as it is cannot hold makes it grow by bytes
  // more; freed, it stays as room for what follows. Only the range it grew
  // by is advised, known by where the heap ended before and after.
  std::uintptr_t before = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  void* volatile block = std::malloc(16 << 20);  // volatile: the compiler would drop a malloc freed unused
  std::free(block);
  std::uintptr_t after = reinterpret_cast<std::uintptr_t>(::sbrk(0));
  if (before == static_cast<std::uintptr_t>(-1) || after <= before) return;  // no heap to grow: nothing to advise
  std::uintptr_t first = (before + kLargePage - 1) & ~(kLargePage - 1);
  std::uintptr_t last = after & ~(kLargePage - 1);
  if (last > first) static_cast<void>(::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE));
}

void* allocateLarge(std::size_t bytes) {
  if (bytes < kLargeBlockLeast) return std::malloc(bytes == 0 ? 1 : bytes);
  std::size_t size = roundedToLargePages(bytes);
  if (std::uintptr_t start = takeKept(size)) return reinterpret_cast<void*>(start);
  // One large page more than needed, so that a boundary lies within the
  // first one; the slack on either side goes back at once.
  void* mapped = ::mmap(nullptr, size + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  std::uintptr_t from = reinterpret_cast<std::uintptr_t>(mapped);
  std::uintptr_t start = (from + kLargePage - 1) & ~(kLargePage - 1);
  if (start > from) ::munmap(mapped, start - from);
  std::uintptr_t tail = from + size + kLargePage - (start + size);
  if (tail > 0) ::munmap(reinterpret_cast<void*>(start + size), tail);
  static_cast<void>(::madvise(reinterpret_cast<void*>(start), size, MADV_HUGEPAGE));
  return reinterpret_cast<void*>(start);
}

void releaseLarge(void* block, std::size_t bytes) {
  if (block == nullptr) return;
  if (bytes < kLargeBlockLeast) {
    std::free(block);
    return;
  }
  std::size_t size = roundedToLargePages(bytes);
  if (!keep(reinterpret_cast<std::uintptr_t>(block), size)) ::munmap(block, size);
}

}  // namespace platform
