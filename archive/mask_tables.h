// The two published lookup tables that scramble the index and the patch
// packages by XOR:
//   T16: CRC-16/ARC table, reflected polynomial 0xA001
//        (T16[0..3] = 0x0000 0xC0C1 0xC181 0x0140 ...)
//   T8:  Dallas/Maxim 1-Wire CRC-8 table, reflected polynomial 0x8C
//        (T8[0..3] = 0x00 0x5E 0xBC 0xE2 ...)
// Where a T16 entry masks a 32-bit field it is zero-extended: the high 16 bits
// of such a field are stored plain.
#pragma once

#include <array>
#include <cstdint>

namespace archive {

// Built once at compile time from the polynomials, so they cannot drift from
// the standard tables.
constexpr std::array<std::uint16_t, 256> makeT16() {
  std::array<std::uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint16_t crc = static_cast<std::uint16_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    table[i] = crc;
  }
  return table;
}

constexpr std::array<std::uint8_t, 256> makeT8() {
  std::array<std::uint8_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    std::uint8_t crc = static_cast<std::uint8_t>(i);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C) : crc >> 1;
    table[i] = crc;
  }
  return table;
}

inline constexpr std::array<std::uint16_t, 256> T16 = makeT16();
inline constexpr std::array<std::uint8_t, 256> T8 = makeT8();

}  // namespace archive
