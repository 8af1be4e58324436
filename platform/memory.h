// Large allocations. Touching fresh memory costs the system a fault per
// page; for the index's lists and the tools' tables (tens of MiB) those
// faults can cost more than the work done in the memory.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

namespace platform {

// Asks the system to back [start, start + bytes), memory not yet touched,
// with large pages where it can (Linux: transparent huge pages, one fault
// per 2 MiB instead of per 4 KiB), and to set up the whole range at once
// (Linux: one call instead of a fault per page), since it is about to be
// filled. Where the system has neither or leaves them off, nothing changes;
// the memory works the same either way.
void adviseLargePages(void* start, std::size_t bytes);

// Reserves room for count elements in an empty list and gives that advice
// for it, when the room is large enough for it to matter. For a list filled
// up to count at once.
template <class T>
void reserveLarge(std::vector<T>& list, std::size_t count) {
  list.reserve(count);
  adviseLargePages(list.data(), count * sizeof(T));
}

// Has the allocator serve this process's allocations from one heap of about
// bytes, grown at once and backed by large pages where the system gives them
// (Linux with glibc: the threads share that heap, blocks below 32 MiB come
// from it rather than from mappings of their own, and freed memory stays
// for the next blocks). For a tool that fills tables of tens of MiB, such as
// an index's lists, and then ends. Call it first thing, before any thread
// starts; elsewhere nothing changes.
void preferLargePagesForHeap(std::size_t bytes);

// At least bytes of memory for one large table, aligned for any element;
// nullptr when there is none. A block of a few large pages or more lies on
// their boundaries so that all of it can be backed by them (Linux); a
// smaller one comes from the heap. Given back with releaseLarge and the same
// size.
void* allocateLarge(std::size_t bytes);
void releaseLarge(void* block, std::size_t bytes);

// One block from allocateLarge, given back when it ends; moved, never
// copied. For bytes stored a piece at a time where nothing may move.
class LargeBlock {
 public:
  explicit LargeBlock(std::size_t bytes) : bytes_(static_cast<unsigned char*>(allocateLarge(bytes))), size_(bytes) {
    if (bytes_ == nullptr) throw std::bad_alloc();
  }
  LargeBlock(LargeBlock&& other) noexcept : bytes_(other.bytes_), size_(other.size_) { other.bytes_ = nullptr; }
  LargeBlock& operator=(LargeBlock&& other) noexcept {
    if (this != &other) {
      releaseLarge(bytes_, size_);
      bytes_ = other.bytes_;
      size_ = other.size_;
      other.bytes_ = nullptr;
    }
    return *this;
  }
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;
  ~LargeBlock() { releaseLarge(bytes_, size_); }
  unsigned char* data() const { return bytes_; }
  std::size_t size() const { return size_; }

 private:
  unsigned char* bytes_;
  std::size_t size_;
};

// The allocator of LargeTable.
template <class T>
struct LargePageAllocator {
  using value_type = T;
  LargePageAllocator() = default;
  template <class U>
  LargePageAllocator(const LargePageAllocator<U>&) {}
  T* allocate(std::size_t count) {
    if (count > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    void* block = allocateLarge(count * sizeof(T));
    if (block == nullptr) throw std::bad_alloc();
    return static_cast<T*>(block);
  }
  void deallocate(T* block, std::size_t count) { releaseLarge(block, count * sizeof(T)); }
  template <class U>
  bool operator==(const LargePageAllocator<U>&) const {
    return true;
  }
  template <class U>
  bool operator!=(const LargePageAllocator<U>&) const {
    return false;
  }
};

// A list of millions of small records (a tool's table by key or by
// position), kept on large pages where the system gives them.
template <class T>
using LargeTable = std::vector<T, LargePageAllocator<T>>;

}  // namespace platform
