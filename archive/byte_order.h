// Little-endian fixed-width integers in byte buffers: every launcher file
// format stores its integers this way, with no padding.
#pragma once

#include <cstdint>
#include <string>

namespace archive {

inline void putU8(std::string& out, std::uint8_t value) { out.push_back(static_cast<char>(value)); }

inline void putU16(std::string& out, std::uint16_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>(value >> 8));
}

inline void putU32(std::string& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

inline void putU64(std::string& out, std::uint64_t value) {
  for (int shift = 0; shift < 64; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
}

// The same in place, for fixed-size records.
inline void setU32(unsigned char* p, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

inline std::uint16_t getU16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

inline std::uint32_t getU32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t getU64(const unsigned char* p) {
  return static_cast<std::uint64_t>(getU32(p)) | (static_cast<std::uint64_t>(getU32(p + 4)) << 32);
}

}  // namespace archive
