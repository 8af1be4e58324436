#include "tools/vlm_patch/range_reader.h"

#if !defined(_WIN32)
#include <fcntl.h>
#endif

namespace vlmpatch {

bool openRangeReader(RangeReader& reader, const std::string& path) {
  closeRangeReader(reader);
  reader.file.reset(platform::openFileForReading(path.c_str()));
  return reader.file.isOpen();
}

void closeRangeReader(RangeReader& reader) {
  reader.file.reset();
  reader.windowStart = 0;
  reader.windowLength = 0;
}

void adviseSequential(const RangeReader& reader) {
#if !defined(_WIN32)
  if (reader.file) ::posix_fadvise(static_cast<int>(reader.file.get()), 0, 0, POSIX_FADV_SEQUENTIAL);
#else
  (void)reader;
#endif
}

namespace {

// Fills the window from offset on.
bool readWindowAt(RangeReader& reader, std::uint64_t offset, std::uint64_t wanted) {
  std::uint64_t windowEnd = reader.windowStart + reader.windowLength;
  // Reading on from within the window or a little past its end is the
  // sequential pass: a whole window. A jump, back or far ahead, reads what
  // the range needs: ranges taken here and there (the changed keys a
  // package stores) do not read the whole file again.
  bool onwards = reader.windowLength > 0 && offset >= reader.windowStart && offset < windowEnd + kRangeJumpGap;
  std::uint64_t size = reader.windowSize;
  if (!onwards && reader.windowLength > 0) size = wanted < kRangeJumpRead ? kRangeJumpRead : wanted;
  if (size > reader.windowSize) size = reader.windowSize;
  if (reader.window.size() < size) reader.window.resize(static_cast<std::size_t>(size));
  std::int64_t got =
      platform::readFileAt(reader.file.get(), offset, reader.window.data(), static_cast<std::size_t>(size));
  if (got <= 0) return false;
  reader.windowStart = offset;
  reader.windowLength = static_cast<std::size_t>(got);
  reader.bytesRead += static_cast<std::uint64_t>(got);
  return true;
}

}  // namespace

bool holdInWindow(RangeReader& reader, std::uint64_t offset, std::uint64_t wanted) {
  if (offset >= reader.windowStart && offset < reader.windowStart + reader.windowLength) return true;
  return readWindowAt(reader, offset, wanted);
}

bool holdWhole(RangeReader& reader, std::uint64_t offset, std::size_t length) {
  auto held = [&] {
    return offset >= reader.windowStart && offset + length <= reader.windowStart + reader.windowLength;
  };
  if (held()) return true;
  return length <= reader.windowSize && readWindowAt(reader, offset, length) && held();
}

}  // namespace vlmpatch
