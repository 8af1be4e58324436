#include "core/byte_size.h"

#include <cstdio>

namespace core {

std::string formatByteSize(std::uint64_t bytes) {
  if (bytes == 1) return "1 byte";
  if (bytes < 1024) return std::to_string(bytes) + " bytes";
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  std::uint64_t unit = 1024;
  std::size_t u = 0;
  // The largest unit the size fills, at most TB.
  while (u + 1 < sizeof kUnits / sizeof kUnits[0] && bytes / unit >= 1024) {
    unit *= 1024;
    ++u;
  }
  // Tenths of the unit, rounded up, in integers: no float rounding on the way.
  std::uint64_t whole = bytes / unit;
  std::uint64_t rest = bytes % unit;
  std::uint64_t tenths = whole * 10 + (rest * 10 + unit - 1) / unit;
  if (tenths >= 10240 && u + 1 < sizeof kUnits / sizeof kUnits[0]) {
    // 1023.95 KB and above round up into the next unit.
    return "1.0 " + std::string(kUnits[u + 1]);
  }
  char text[48];
  std::snprintf(text, sizeof text, "%llu.%llu %s", static_cast<unsigned long long>(tenths / 10),
                static_cast<unsigned long long>(tenths % 10), kUnits[u]);
  return text;
}

}  // namespace core
