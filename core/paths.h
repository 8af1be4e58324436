// Names beside the launcher, short-lived formatted texts, and writing a file
// whose directory may not exist yet. "\" and "/" are both separators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/log.h"  // VLM_PRINTF

namespace core {

// The directory of the running launcher, without a trailing separator.
// Asked of the system at every call. Empty when the system cannot tell.
std::string exeDirectory();

// The part of path before its last "\" or "/"; the whole path when it has none.
std::string directoryOfPath(const std::string& path);

constexpr int kFormatPoolBuffers = 20;
constexpr std::size_t kFormatBufferSize = 260;

// Formats into the next of 20 pool buffers of 260 bytes, handed out in turn
// (0, 1, ..., 19, 0, ...) by one atomic step, so two threads never get the
// same buffer at once. The text stays valid for 20 further calls. A longer
// text is cut to 259 bytes.
char* formatText(const char* format, ...) VLM_PRINTF(1, 2);

// A formatter with its own 256-byte buffer; each text replaces the previous.
struct TextBuffer {
  char* buffer;
  std::uint16_t capacity;
  bool overflowed;  // the last text did not fit and was cut

  TextBuffer();
  ~TextBuffer();
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;

  // Writes the text into buffer (cut to fit) and returns buffer; without a
  // buffer writes nothing and returns nullptr.
  char* format(const char* format, ...) VLM_PRINTF(2, 3);
};

// Creates every directory along path: for "data\sub/leaf" it creates data,
// data\sub and data\sub/leaf. A separator at position 0 is no cut point;
// directories that exist simply fail to be created. Returns true.
bool createDirectories(const char* path);

// Writes length bytes as the file at path, creating its directory first when
// needed. True when the whole block was written.
bool writeFileCreatingDirectories(const char* path, const void* data, std::size_t length);

}  // namespace core
