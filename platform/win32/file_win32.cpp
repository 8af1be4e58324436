// Files on Windows: the kernel32 calls with narrow (ANSI) names.
#include "platform/file.h"

#include <io.h>
#include <windows.h>

namespace platform {

std::string nativePath(const char* path) { return std::string(path ? path : ""); }

std::FILE* openStdioFile(const char* path, const char* mode) { return std::fopen(path, mode); }

static FileHandle toFile(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(handle);
}
static HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle openArchiveFile(const char* path) {
  return toFile(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle createFile(const char* path) {
  return toFile(CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle openFileForReading(const char* path) {
  return toFile(CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
}

void closeFile(FileHandle file) {
  if (file != kNoFile) CloseHandle(toHandle(file));
}

bool getFileSize(FileHandle file, std::uint64_t* size) {
  LARGE_INTEGER value;
  if (file == kNoFile || !GetFileSizeEx(toHandle(file), &value)) return false;
  *size = static_cast<std::uint64_t>(value.QuadPart);
  return true;
}

static bool seekTo(HANDLE handle, std::uint64_t offset) {
  LARGE_INTEGER distance;
  distance.QuadPart = static_cast<LONGLONG>(offset);
  return SetFilePointerEx(handle, distance, nullptr, FILE_BEGIN) != 0;
}

bool writeFileAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size) {
  if (file == kNoFile || !seekTo(toHandle(file), offset)) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(toHandle(file), p, chunk, &written, nullptr) || written == 0) return false;
    p += written;
    size -= written;
  }
  return true;
}

std::int64_t readFileAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size) {
  if (file == kNoFile || !seekTo(toHandle(file), offset)) return -1;
  std::size_t done = 0;
  char* p = static_cast<char*>(data);
  while (done < size) {
    DWORD chunk = size - done > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size - done);
    DWORD got = 0;
    if (!ReadFile(toHandle(file), p + done, chunk, &got, nullptr)) return -1;
    if (got == 0) break;
    done += got;
  }
  return static_cast<std::int64_t>(done);
}

bool flushFileToDisk(FileHandle file) { return file != kNoFile && FlushFileBuffers(toHandle(file)) != 0; }

bool deleteFile(const char* path) { return DeleteFileA(path) != 0; }

bool pathExists(const char* path) { return _access(path, 0) == 0; }

bool isDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void createDirectory(const char* path) { CreateDirectoryA(path, nullptr); }

bool copyFileReplacing(const char* from, const char* to) { return CopyFileA(from, to, FALSE) != 0; }

bool replaceFileAtomically(const char* from, const char* to) {
  // MoveFileEx with write-through returns only once the rename is on disk;
  // replacing an existing target is one step for the file system.
  return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

}  // namespace platform
