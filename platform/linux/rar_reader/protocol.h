// What the contained RAR reader ("vlm-rar-reader", beside the launcher)
// sends the launcher over its standard output. The reader gets the archive
// open for reading as its standard input and nothing else: it parses the
// hostile bytes in a process that can do little more than read that file,
// write this stream and end (see sandbox.h).
//
// A stream of records, integers little-endian:
//   'O' u32 result                  first: 0, or the open error (ERAR_*)
//   'H' u32 nameLength (0..1023) then the name, u32 flags (RAR header
//       flags: 0xE0 directory, 0x04 encrypted), u32 hostOS, u32 attributes
//       (the entry's mode bits), u32 unpacked size low, u32 high, u32 CRC
//                                   one entry's header
//   'D' u32 length (1..kRarReaderChunk) then the bytes
//                                   the entry's data, in order; only for
//                                   regular files
//   'E' u32 result                  the entry's end: 0, or ERAR_BAD_DATA
//                                   (damaged, cut, wrong checksum),
//                                   ERAR_MISSING_PASSWORD (encrypted)
//   'Z' u32 result                  the archive's end: ERAR_END_ARCHIVE, or
//                                   the error that stopped the reading
// After 'H' come zero or more 'D' and one 'E'; after 'Z' nothing. The
// launcher trusts none of it: every length is checked against these bounds,
// and a stream that breaks off or passes the time limit is a damaged archive.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

constexpr char kReaderOpen = 'O';
constexpr char kReaderHeader = 'H';
constexpr char kReaderData = 'D';
constexpr char kReaderEntryEnd = 'E';
constexpr char kReaderArchiveEnd = 'Z';

constexpr std::size_t kRarReaderChunk = 1 << 20;
constexpr std::size_t kRarReaderMaxName = 1023;

// The reader's file name beside the launcher.
constexpr const char* kRarReaderName = "vlm-rar-reader";

}  // namespace platform
