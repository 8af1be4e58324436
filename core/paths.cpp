#include "core/paths.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/executable.h"
#include "platform/file.h"

namespace core {

std::string directoryOfPath(const std::string& path) {
  std::size_t cut = path.find_last_of("\\/");
  return cut == std::string::npos ? path : path.substr(0, cut);
}

std::string exeDirectory() {
  std::string exe = platform::executablePath();
  if (exe.find_last_of("\\/") == std::string::npos) return std::string();
  return directoryOfPath(exe);
}

// The pool lives as long as the process; nobody frees its buffers.
static char formatPool[kFormatPoolBuffers][kFormatBufferSize];
static std::atomic<std::uint16_t> nextFormatBuffer{0};

// Takes the next buffer index and advances it in one atomic step.
static unsigned takeFormatBuffer() {
  std::uint16_t seen = nextFormatBuffer.load();
  std::uint16_t taken;
  do {
    taken = seen >= kFormatPoolBuffers ? 0 : seen;
  } while (!nextFormatBuffer.compare_exchange_weak(seen, static_cast<std::uint16_t>(taken + 1)));
  return taken;
}

char* formatText(const char* format, ...) {
  char* buffer = formatPool[takeFormatBuffer()];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, kFormatBufferSize, format, args);
  va_end(args);
  return buffer;
}

TextBuffer::TextBuffer() : buffer(new char[256]()), capacity(256), overflowed(false) {}

TextBuffer::~TextBuffer() { delete[] buffer; }

char* TextBuffer::format(const char* format, ...) {
  if (!buffer) return nullptr;
  va_list args;
  va_start(args, format);
  int needed = std::vsnprintf(buffer, capacity, format, args);
  va_end(args);
  overflowed = needed < 0 || static_cast<unsigned>(needed) >= capacity;
  return buffer;
}

bool createDirectories(const char* path) {
  for (const std::string& directory : platform::directoriesOnTheWay(path)) platform::createDirectory(directory.c_str());
  platform::createDirectory(path);
  return true;
}

bool writeFileCreatingDirectories(const char* path, const void* data, std::size_t length) {
  std::string p(path);
  if (p.find_last_of("\\/") != std::string::npos) {
    std::string directory = directoryOfPath(p);
    if (!directory.empty() && !platform::isDirectory(directory.c_str())) createDirectories(directory.c_str());
  }
  platform::File file(platform::createFile(path));
  return file && (length == 0 || platform::writeFileAt(file.get(), 0, data, length));
}

}  // namespace core
