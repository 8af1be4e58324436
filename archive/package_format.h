// The patch package file (all integers little-endian, no magic, no trailer;
// bytes after the last item are ignored). s is the seed byte, i the item's
// position from 0.
//
//   u8   seed s                      plain
//   u16  version                     XOR T16[(s mod 64) * 4]
//   u8   type                        XOR T8[(s mod 128) * 2]
//   u16  itemCount                   XOR T16[(s mod 16) * 16]
//   then itemCount item records, back to back:
//     u32  key          (types 1, 2) XOR T16[(i mod 16) * 16]
//     u32  name length N (types 3, 4) XOR T16[(i mod 32) * 8]
//     N    name bytes   (types 3, 4) each XOR T8[(s mod 128) * 2]
//     u32  dataLength L (all types)  XOR T16[(i mod 32) * 8]
//     L    data: byte k < n = min(L mod 65536, 128) XOR T8[((s + k) * 4) mod 256],
//          the rest plain
//
// Types: 1 key+data stored in the archives; 2 key+data, no effect; 3 name+data
// written as a file; 4 name+data, the file is deleted; 0 and 5..255 data only,
// no effect.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "archive/byte_order.h"
#include "archive/mask_tables.h"

namespace archive {

constexpr std::size_t kMaxItemNameLength = 259;  // the name buffer holds 260 bytes with its terminator
constexpr std::uint32_t kMaxScrambledBytes = 128;

inline std::uint16_t packageVersionMask(std::uint8_t seed) { return T16[(seed % 64) * 4]; }
inline std::uint8_t packageTypeMask(std::uint8_t seed) { return T8[(seed % 128) * 2]; }
inline std::uint16_t packageCountMask(std::uint8_t seed) { return T16[(seed % 16) * 16]; }
inline std::uint32_t itemKeyMask(std::size_t item) { return T16[(item % 16) * 16]; }
inline std::uint32_t itemLengthMask(std::size_t item) { return T16[(item % 32) * 8]; }
inline std::uint8_t itemDataMask(std::uint8_t seed, std::uint64_t k) { return T8[((seed + k) * 4) % 256]; }

inline bool itemHasKey(std::uint8_t type) { return type == 1 || type == 2; }
inline bool itemHasName(std::uint8_t type) { return type == 3 || type == 4; }

// How many leading data bytes are scrambled: only the low 16 bits of the
// length count, so a multiple of 65536 is stored wholly plain.
inline std::uint32_t scrambledPrefix(std::uint32_t dataLength) {
  std::uint32_t n = dataLength % 65536;
  return n < kMaxScrambledBytes ? n : kMaxScrambledBytes;
}

// XORs the data bytes [from, from + length) of an item in place; the same
// call scrambles and unscrambles.
inline void maskItemData(std::uint8_t seed, std::uint32_t dataLength, std::uint64_t from, unsigned char* bytes,
                         std::size_t length) {
  std::uint32_t prefix = scrambledPrefix(dataLength);
  for (std::uint64_t k = from; k < prefix && k < from + length; ++k) bytes[k - from] ^= itemDataMask(seed, k);
}

// Each record below comes with its size, its writer and its reader side by
// side; package_writer.cpp encodes and patch_package.cpp decodes with them.

// The header: u8 seed, u16 version, u8 type, u16 itemCount (all but the
// seed masked by the seed).
constexpr std::size_t kPackageHeaderSize = 6;

struct PackageHeader {
  std::uint8_t seed = 0;
  std::uint16_t version = 0;
  std::uint8_t type = 0;
  std::uint16_t itemCount = 0;
};

inline void appendPackageHeader(std::string& out, const PackageHeader& header) {
  putU8(out, header.seed);
  putU16(out, header.version ^ packageVersionMask(header.seed));
  putU8(out, header.type ^ packageTypeMask(header.seed));
  putU16(out, header.itemCount ^ packageCountMask(header.seed));
}

inline PackageHeader decodePackageHeader(const unsigned char (&bytes)[kPackageHeaderSize]) {
  PackageHeader header;
  header.seed = bytes[0];
  header.version = getU16(bytes + 1) ^ packageVersionMask(header.seed);
  header.type = bytes[3] ^ packageTypeMask(header.seed);
  header.itemCount = getU16(bytes + 4) ^ packageCountMask(header.seed);
  return header;
}

// An item record's fields before its data: the key (types 1, 2), the name
// length and name (types 3, 4), the data length. Each number is a u32.
constexpr std::size_t kItemFieldSize = 4;

// The fewest bytes an item record of this type can take: its data length
// field, and a key or name length field for types that have one.
inline std::uint64_t smallestItemRecord(std::uint8_t type) {
  return itemHasKey(type) || itemHasName(type) ? 2 * kItemFieldSize : kItemFieldSize;
}

inline void appendItemHead(std::string& out, std::uint8_t seed, std::uint8_t type, std::size_t item, std::uint32_t key,
                           const std::string& name, std::uint32_t dataLength) {
  if (itemHasKey(type)) putU32(out, key ^ itemKeyMask(item));
  if (itemHasName(type)) {
    putU32(out, static_cast<std::uint32_t>(name.size()) ^ itemLengthMask(item));
    for (char c : name) out.push_back(static_cast<char>(c ^ packageTypeMask(seed)));
  }
  putU32(out, dataLength ^ itemLengthMask(item));
}

inline std::uint32_t decodeItemKey(const unsigned char (&bytes)[kItemFieldSize], std::size_t item) {
  return getU32(bytes) ^ itemKeyMask(item);
}

// The name length and the data length share one mask.
inline std::uint32_t decodeItemLength(const unsigned char (&bytes)[kItemFieldSize], std::size_t item) {
  return getU32(bytes) ^ itemLengthMask(item);
}

// The stored name bytes (at most kMaxItemNameLength) as the name: each byte
// unmasked, a zero byte ending the text.
inline std::string decodeItemName(std::uint8_t seed, const char* bytes, std::size_t length) {
  std::string name;
  for (std::size_t k = 0; k < length; ++k) {
    char c = static_cast<char>(bytes[k] ^ packageTypeMask(seed));
    if (c == '\0') break;
    name.push_back(c);
  }
  return name;
}

}  // namespace archive
