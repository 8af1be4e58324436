#include "core/byte_size.h"

#include <gtest/gtest.h>

namespace {

struct SizeCase {
  std::uint64_t bytes;
  const char* text;
};

// Rounded up at the tenth: a room said to be missing is never understated.
TEST(FormatByteSize, ShowsTheLargestUnitRoundedUpAtTheTenth) {
  const SizeCase cases[] = {
      {0, "0 bytes"},
      {1, "1 byte"},
      {1023, "1023 bytes"},
      {1024, "1.0 KB"},
      {1025, "1.1 KB"},
      {1536, "1.5 KB"},
      {1024 * 1024 - 1, "1.0 MB"},
      {1024 * 1024, "1.0 MB"},
      {1024 * 1024 + 1, "1.1 MB"},
      {200ull * 1024 * 1024, "200.0 MB"},
      {3ull * 1024 * 1024 * 1024 + 200ull * 1024 * 1024, "3.2 GB"},
      {5ull << 40, "5.0 TB"},
      {~0ull, "16777216.0 TB"},
  };
  for (const SizeCase& c : cases) EXPECT_EQ(core::formatByteSize(c.bytes), c.text) << c.bytes;
}

}  // namespace
