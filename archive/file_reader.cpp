#include "archive/file_reader.h"

#include <cstring>
#include <string>

namespace archive {

bool startReading(FileReader& reader, platform::FileHandle file) {
  reader = FileReader();
  reader.file = file;
  return platform::getFileSize(file, &reader.size);
}

bool readBytes(FileReader& reader, void* out, std::size_t length) {
  if (length > bytesLeft(reader)) return false;
  unsigned char* target = static_cast<unsigned char*>(out);
  std::uint64_t position = reader.position;
  std::size_t done = 0;
  while (done < length) {
    bool inBuffer = position >= reader.bufferStart && position < reader.bufferStart + reader.bufferLength;
    if (!inBuffer) {
      if (reader.buffer.empty()) reader.buffer.resize(kReaderBufferSize);
      std::int64_t got = platform::readFileAt(reader.file, position, reader.buffer.data(), reader.buffer.size());
      if (got <= 0) return false;
      reader.bufferStart = position;
      reader.bufferLength = static_cast<std::size_t>(got);
    }
    std::size_t at = static_cast<std::size_t>(position - reader.bufferStart);
    std::size_t take = reader.bufferLength - at;
    if (take > length - done) take = length - done;
    std::memcpy(target + done, reader.buffer.data() + at, take);
    done += take;
    position += take;
  }
  reader.position = position;
  return true;
}

bool skipBytes(FileReader& reader, std::uint64_t length) {
  if (length > bytesLeft(reader)) return false;
  reader.position += length;
  return true;
}

platform::Status readPart(FileReader& reader, void* out, std::size_t length, const char* what) {
  std::uint64_t left = bytesLeft(reader);
  if (length > left) {
    return platform::Status::failure(std::string("ends within ") + what + " (" + std::to_string(left) + " of " +
                                     std::to_string(length) + " bytes)");
  }
  if (!readBytes(reader, out, length)) return platform::Status::failure(std::string(what) + " cannot be read");
  return platform::Status();
}

}  // namespace archive
