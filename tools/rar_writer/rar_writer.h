// Writing RAR archives whose entries are stored (not compressed): the patch
// archives of the operator's tool and of the tests.
//
// Layout written (RAR 1.5 to 4.x format; all integers little-endian; every
// header begins with HEAD_CRC u16, the low 16 bits of the CRC-32 of the
// header from HEAD_TYPE to its end, then HEAD_TYPE u8, HEAD_FLAGS u16,
// HEAD_SIZE u16):
//   marker      52 61 72 21 1A 07 00
//   main header type 0x73, flags 0, size 13, then 6 reserved zero bytes
//   per entry   type 0x74, flags 0x8000 (data follows) | 0x00E0 for a
//               directory, size 32 + name length, then
//               PACK_SIZE u32, UNP_SIZE u32 (equal: stored), HOST_OS u8 = 2
//               (Windows, so "\" separates the name's parts), FILE_CRC u32
//               (CRC-32 of the data), FTIME u32 (DOS time), UNP_VER u8 = 20,
//               METHOD u8 = 0x30 (stored), NAME_SIZE u16, ATTR u32 (0x10 for
//               a directory, 0x20 for a file), the name, then the data
//   end         type 0x7B, flags 0x4000, size 7
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct RarEntrySpec {
  std::string name;  // as stored; "\" or "/" separate its parts
  std::string data;  // the file's bytes; empty for a directory
  bool directory = false;
};

// The most data bytes one stored entry holds: PACK_SIZE has 32 bits, and
// 0xFFFFFFFF is not taken.
constexpr std::uint64_t kMaxStoredRarEntryBytes = 0xFFFFFFFEull;

// The bytes an archive of one file entry whose name has nameLength bytes
// holds besides the entry's data: the marker (7), the main header (13), the
// entry's header (32 + nameLength) and the end (7). Such an archive of data
// of size D is exactly D + storedRarOverhead(nameLength) bytes.
constexpr std::uint64_t storedRarOverhead(std::size_t nameLength) { return 7 + 13 + 32 + nameLength + 7; }

// The archive's bytes; empty when an entry cannot be stored (a name longer
// than 65535 bytes or data of 4 GiB or more).
std::string encodeStoredRar(const std::vector<RarEntrySpec>& entries);

// Writes the archive as the file at path; true when it was written whole.
bool writeStoredRar(const char* path, const std::vector<RarEntrySpec>& entries);

// Writes an archive holding one file entry named entryName whose data is
// the file source, read in bounded chunks (for packages of gigabytes). True
// when it was written whole; on failure nothing is left at path.
bool writeStoredRarFromFile(const char* path, const std::string& entryName, const char* source);

// CRC-32 (IEEE, reflected, as zip and RAR use it).
std::uint32_t rarCrc32(const void* data, std::size_t size, std::uint32_t crc = 0);
