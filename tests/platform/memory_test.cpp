#include "platform/memory.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

// Sizes about the large page's boundaries, where the slack around a block
// is cut away: each block must stay whole and usable to its last byte.
TEST(LargeTable, BlocksOfEverySizeHoldAllTheirBytes) {
  const std::size_t kMiB = std::size_t(1) << 20;
  for (std::size_t bytes : {std::size_t(0), std::size_t(1), 2 * kMiB - 1, 2 * kMiB, 2 * kMiB + 1, 9 * kMiB + 5}) {
    SCOPED_TRACE(bytes);
    void* block = platform::allocateLarge(bytes);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t), 0u);
    if (bytes > 0) {
      auto* first = static_cast<unsigned char*>(block);
      std::memset(first, 0xA5, bytes);
      EXPECT_EQ(first[0], 0xA5);
      EXPECT_EQ(first[bytes - 1], 0xA5);
    }
    platform::releaseLarge(block, bytes);
  }
}

TEST(LargeTable, GrowsKeepingItsRecords) {
  platform::LargeTable<std::uint32_t> table;
  for (std::uint32_t n = 0; n < 3000000; ++n) table.push_back(n * 7);  // past several large pages
  platform::LargeTable<std::uint32_t> moved = std::move(table);
  for (std::uint32_t n = 0; n < 3000000; n += 99991) EXPECT_EQ(moved[n], n * 7);
  EXPECT_EQ(moved.back(), 2999999u * 7);
}

}  // namespace
