// Sequential reading of a file through a bounded buffer, with the file's
// size at hand so a parser can check every length against what is left
// before it trusts (or allocates for) it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/file.h"
#include "platform/status.h"

namespace archive {

struct FileReader {
  platform::FileHandle file = platform::kNoFile;
  std::uint64_t size = 0;      // the file's size when the reader was set up
  std::uint64_t position = 0;  // next byte to hand out
  std::vector<unsigned char> buffer;
  std::uint64_t bufferStart = 0;
  std::size_t bufferLength = 0;
};

constexpr std::size_t kReaderBufferSize = 1 << 16;

// Sets the reader up on an open file; false when the size cannot be learnt.
bool startReading(FileReader& reader, platform::FileHandle file);

// Bytes between position and the end of the file.
inline std::uint64_t bytesLeft(const FileReader& reader) {
  return reader.position < reader.size ? reader.size - reader.position : 0;
}

// Copies the next length bytes out; false (position unchanged) when the file
// ends first or a read fails.
bool readBytes(FileReader& reader, void* out, std::size_t length);

// readBytes for one part of a record, named by `what` ("the name"): the
// failure says "ends within the name (2 of 9 bytes)" when the file ends
// first, "the name cannot be read" when the read fails.
[[nodiscard]] platform::Status readPart(FileReader& reader, void* out, std::size_t length, const char* what);

// Moves past length bytes; false when the file ends first.
bool skipBytes(FileReader& reader, std::uint64_t length);

}  // namespace archive
