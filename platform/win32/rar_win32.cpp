// The UnRAR library on Windows: "unrar.dll" beside the launcher, loaded on
// first use and kept for the life of the process. Without it every open fails
// with ERAR_EOPEN, which the launcher treats as an archive it cannot open.
#include "platform/rar.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "platform/executable.h"
#include "platform/status.h"

namespace platform {

namespace {

// The library's calling convention (stdcall on 32-bit Windows; 64-bit
// Windows has one convention only).
using OpenFn = RarHandle(VLM_RAR_CALL*)(RAROpenArchiveDataEx*);
using ReadHeaderFn = int(VLM_RAR_CALL*)(RarHandle, RARHeaderDataEx*);
using ProcessFileFn = int(VLM_RAR_CALL*)(RarHandle, int, char*, char*);
using CloseFn = int(VLM_RAR_CALL*)(RarHandle);

struct UnrarLibrary {
  OpenFn open = nullptr;
  ReadHeaderFn readHeader = nullptr;
  ProcessFileFn processFile = nullptr;
  CloseFn close = nullptr;
  bool complete() const { return open && readHeader && processFile && close; }
};

// Loads the library from the launcher's own directory, never from the search
// path, so no other program's copy is picked up.
const UnrarLibrary& unrarLibrary() {
  static UnrarLibrary library;
  static std::once_flag loaded;
  std::call_once(loaded, [] {
    std::string exe = executablePath();
    std::string dll = exe.substr(0, exe.find_last_of("\\/") + 1) + "unrar.dll";
    HMODULE module = LoadLibraryA(dll.c_str());
    if (!module) return;
    library.open = reinterpret_cast<OpenFn>(reinterpret_cast<void*>(GetProcAddress(module, "RAROpenArchiveEx")));
    library.readHeader =
        reinterpret_cast<ReadHeaderFn>(reinterpret_cast<void*>(GetProcAddress(module, "RARReadHeaderEx")));
    library.processFile =
        reinterpret_cast<ProcessFileFn>(reinterpret_cast<void*>(GetProcAddress(module, "RARProcessFile")));
    library.close = reinterpret_cast<CloseFn>(reinterpret_cast<void*>(GetProcAddress(module, "RARCloseArchive")));
  });
  return library;
}

// rarSystemError's text: the archive it belongs to and the text, per thread
// (each archive is read on the thread that opened it).
thread_local RarHandle lastFailedArchive = nullptr;
thread_local std::string lastFailedText;

}  // namespace

std::string rarReaderProblem() {
  if (unrarLibrary().complete()) return "";
  const std::string exe = executablePath();
  return "unrar.dll is missing in " + exe.substr(0, exe.find_last_of("\\/") + 1) + " or lacks one of its calls";
}

RarHandle rarOpenArchiveEx(RAROpenArchiveDataEx* data) {
  const UnrarLibrary& library = unrarLibrary();
  if (!library.complete()) {
    if (data) data->OpenResult = kRarOpenError;
    return nullptr;
  }
  return library.open(data);
}

int rarReadHeaderEx(RarHandle archive, RARHeaderDataEx* header) {
  const UnrarLibrary& library = unrarLibrary();
  return library.complete() ? library.readHeader(archive, header) : static_cast<int>(kRarBadArchive);
}

int rarProcessFile(RarHandle archive, int operation, const char* destPath, const char* destName) {
  const UnrarLibrary& library = unrarLibrary();
  if (!library.complete()) return static_cast<int>(kRarBadArchive);
  lastFailedArchive = nullptr;
  lastFailedText.clear();
  SetLastError(0);
  // The library's declaration takes non-const names; it does not write them.
  int result = library.processFile(archive, operation, const_cast<char*>(destPath), const_cast<char*>(destName));
  // The library keeps no reason of its own: the thread's error, as the
  // system's call inside it left it, is the one there is.
  if ((result == static_cast<int>(kRarCreateError) || result == static_cast<int>(kRarWriteError)) &&
      GetLastError() != 0) {
    lastFailedText = lastSystemError();
    lastFailedArchive = archive;
  }
  return result;
}

std::string rarSystemError(RarHandle archive) {
  return archive && archive == lastFailedArchive ? lastFailedText : std::string();
}

int rarCloseArchive(RarHandle archive) {
  const UnrarLibrary& library = unrarLibrary();
  return library.complete() ? library.close(archive) : static_cast<int>(kRarBadArchive);
}

}  // namespace platform
