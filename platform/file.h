// Files, as the launcher needs them on both platforms.
//
// Paths are narrow text. Both "\" and "/" separate path parts on every
// platform: the launcher builds names such as "%s\cver.v" and patch packages
// carry Windows-style names, so the Linux side turns "\" into "/" before it
// asks the system. Portable code therefore opens files only through this
// header, never with a bare fopen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace platform {

using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// The path as the system wants it ("\" becomes "/" on Linux).
std::string nativePath(const char* path);

// fopen with the path translated; mode as for fopen ("rb", "r+b", "wb", ...).
std::FILE* openStdioFile(const char* path, const char* mode);

// An archive file: read and write access, other processes may only read it,
// the file must exist already.
FileHandle openArchiveFile(const char* path);
// Creates the file or cuts it to zero length; write access.
FileHandle createFile(const char* path);
// An existing file, read access only.
FileHandle openFileForReading(const char* path);
void closeFile(FileHandle file);

// The file's current size; false when it cannot be learnt.
bool getFileSize(FileHandle file, std::uint64_t* size);
// Writes all of data at offset; false on any error or short write.
bool writeFileAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size);
// Reads up to size bytes at offset; the count read, or -1 on error.
std::int64_t readFileAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size);
// Makes what was written reach the disk (FlushFileBuffers / fsync).
bool flushFileToDisk(FileHandle file);

// Deletes a file; false when it was not there or could not be deleted.
bool deleteFile(const char* path);
// True when a file or directory of that name exists (_access mode 0).
bool pathExists(const char* path);
// True when the path names an existing directory.
bool isDirectory(const char* path);
// Creates one directory; failures (it exists, a drive name) are ignored.
void createDirectory(const char* path);
// Copies a file over another, replacing it (CopyFileA); true on success.
bool copyFileReplacing(const char* from, const char* to);
// Puts `from` in place of `to` so that `to` is, at every moment, either the
// old file or the new one, whole; the change itself reaches the disk before
// this returns. True on success.
bool replaceFileAtomically(const char* from, const char* to);

}  // namespace platform
