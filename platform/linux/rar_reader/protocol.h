// How the contained RAR reader ("vlm-rar-reader", beside the launcher) and
// the launcher talk. The reader gets the archive open for reading as its
// standard input and one end of a local stream socket as its standard
// output, and nothing else: it parses the hostile bytes in a process that
// can do little more than read that file, talk over the socket, write into
// the files the launcher hands it and end (see sandbox.h).
//
// From the reader, integers little-endian:
//   'O' u32 result                  first: 0, or the open error (ERAR_*)
//   'H' u32 nameLength (0..1023) then the name, u32 flags (RAR header
//       flags: 0xE0 directory, 0x04 encrypted), u32 hostOS, u32 attributes
//       (the entry's mode bits), u32 unpacked size low, u32 high, u32 CRC
//                                   one entry's header; the reader then
//                                   waits for the launcher's answer
//   'P' u64 bytesWritten            while it writes an entry's data into
//                                   the launcher's file (or checks stored
//                                   data), at least every
//                                   kRarReaderProgressMs: it is alive
//   'C' u64 offset, u64 size        a stored entry's data, read and found
//                                   to match its CRC-32: the launcher
//                                   copies these bytes of the archive into
//                                   the entry's file itself (only after
//                                   'W', at most once, size = the header's
//                                   size, within the archive), then 'E'
//                                   follows with bytesWritten = size
//   'E' u32 result, u64 bytesWritten, u32 systemError
//                                   the entry's end: 0, or ERAR_BAD_DATA
//                                   (damaged, cut, wrong checksum or size),
//                                   ERAR_MISSING_PASSWORD (encrypted),
//                                   ERAR_EWRITE (the file could not be
//                                   written); bytesWritten is 0 unless the
//                                   answer was 'W'; systemError is the
//                                   failed write's error number (errno)
//                                   with ERAR_EWRITE, else 0: the trace
//                                   shows its text, nothing else uses it
//   'Z' u32 result                  the archive's end: ERAR_END_ARCHIVE, or
//                                   the error that stopped the reading
// From the launcher, one byte answering each 'H':
//   'S'  skip the entry's data
//   'T'  read the entry's data and check it, writing it nowhere
//   'W'  with one descriptor attached (SCM_RIGHTS): a new, empty regular
//        file open for writing only, which the launcher created under the
//        entry's destination name; the reader writes the entry's data into
//        it from offset 0, checks it, closes it and ends the entry
// After 'H' come zero or more 'P', at most one 'C', and one 'E'; after 'Z'
// nothing. The data never passes through the socket: a pipe would copy
// every byte twice more. A stored entry's bytes are copied by the launcher
// within the kernel (copy_file_range): once much unwritten data is in
// memory, as during an update, Linux held the reader's writes to the
// disk's pace while the launcher's own writes were not held back. That
// gives a compromised reader no power it lacked: it can only name bytes of
// the archive it was given, into the file it was given.
//
// The launcher trusts none of it: every length is checked against these
// bounds, the file must hold exactly the bytes the reader says it wrote, a
// stream that breaks off or stays silent past the time limit is a damaged
// archive, and a reader that ends, however, ends its archive. The reader
// never learns a name, never opens a file and never gets a descriptor of
// anything but the new file of the entry at hand.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

constexpr char kReaderOpen = 'O';
constexpr char kReaderHeader = 'H';
constexpr char kReaderProgress = 'P';
constexpr char kReaderCopy = 'C';
constexpr char kReaderEntryEnd = 'E';
constexpr char kReaderArchiveEnd = 'Z';

constexpr char kLauncherSkip = 'S';
constexpr char kLauncherTest = 'T';
constexpr char kLauncherWrite = 'W';

constexpr std::size_t kRarReaderMaxName = 1023;
// An error number above this in an 'E' record is no system's: not shown.
constexpr std::uint32_t kRarReaderMaxSystemError = 4095;
// How often, at least, a reader busy writing an entry says so.
constexpr unsigned kRarReaderProgressMs = 250;
// The blocks the reader reads the archive in.
constexpr std::size_t kRarReaderBlock = 1 << 20;

// The reader's file name beside the launcher.
constexpr const char* kRarReaderName = "vlm-rar-reader";

}  // namespace platform
