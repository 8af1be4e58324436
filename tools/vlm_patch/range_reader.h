// Reading byte ranges of one file through a window: ranges taken in rising
// order, close together, cost one sequential pass in large reads, as an
// archive is best read; a jump back or far ahead (64 KiB or more) reads only
// what the range needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/file.h"

namespace vlmpatch {

constexpr std::size_t kRangeWindow = 1u << 20;    // a sequential read's size
constexpr std::size_t kRangeJumpGap = 64u << 10;  // a gap that makes a jump
constexpr std::size_t kRangeJumpRead = 4u << 10;  // the least a jump reads

struct RangeReader {
  platform::File file;
  // The most one read takes. A smaller window stays in the processor's
  // cache for whoever looks at the bytes next.
  std::size_t windowSize = kRangeWindow;
  std::vector<unsigned char> window;
  std::uint64_t windowStart = 0;
  std::size_t windowLength = 0;
  std::uint64_t bytesRead = 0;  // from the file so far
};

// Opens the file for reading; false when it cannot be opened.
bool openRangeReader(RangeReader& reader, const std::string& path);
void closeRangeReader(RangeReader& reader);
// Tells the system the file will be read from start to end, once, so it
// reads further ahead (Linux; elsewhere nothing happens).
void adviseSequential(const RangeReader& reader);

// Makes the window hold the byte at offset, reading wanted bytes or more when
// it must read; false when the file ends before offset or a read fails.
bool holdInWindow(RangeReader& reader, std::uint64_t offset, std::uint64_t wanted);

// Makes the window hold the bytes [offset, offset + length) whole, reading
// on from offset when it holds only their start; length must be at most
// windowSize. False when the file ends first or a read fails.
bool holdWhole(RangeReader& reader, std::uint64_t offset, std::size_t length);

// Hands the bytes [offset, offset + length) to take(bytes, count) in pieces,
// in order, straight from the window. False when the file ends first or a
// read fails (take may have seen some pieces by then).
template <class Take>
bool visitRange(RangeReader& reader, std::uint64_t offset, std::uint64_t length, Take&& take) {
  while (length > 0) {
    if (!holdInWindow(reader, offset, length)) return false;
    std::size_t at = static_cast<std::size_t>(offset - reader.windowStart);
    std::size_t piece = reader.windowLength - at;
    if (piece > length) piece = static_cast<std::size_t>(length);
    take(reader.window.data() + at, piece);
    offset += piece;
    length -= piece;
  }
  return true;
}

}  // namespace vlmpatch
