// Reading RAR archives through the UnRAR library's published interface.
//
// Windows: "unrar.dll" from the launcher's directory, loaded at run time; a
// missing library makes every open fail (OpenResult ERAR_EOPEN). Linux: the
// same four calls and records over a contained reader process that reads
// the archive with libarchive (platform/linux/rar_linux.cpp), so the
// extraction code is one piece for both platforms.
//
// The records are those of the library generation whose open record ends
// with a callback, its user data and 28 reserved words. On 32-bit Windows:
//   RAROpenArchiveDataEx, 156 bytes:
//     0 ArcName (char*)      4 ArcNameW (wchar_t*)   8 OpenMode   12 OpenResult
//     16 CmtBuf (char*)     20 CmtBufSize  24 CmtSize  28 CmtState  32 Flags
//     36 Callback           40 UserData   44 Reserved[28]
//   RARHeaderDataEx, 10300 bytes:
//     0 ArcName[1024]  1024 ArcNameW[1024] (16-bit)  3072 FileName[1024]
//     4096 FileNameW[1024] (16-bit)  6144 Flags  6148 PackSize  6152 PackSizeHigh
//     6156 UnpSize  6160 UnpSizeHigh  6164 HostOS  6168 FileCRC  6172 FileTime
//     6176 UnpVer  6180 Method  6184 FileAttr  6188 CmtBuf (char*)
//     6192 CmtBufSize  6196 CmtSize  6200 CmtState  6204 Reserved[1024]
// Wide characters are 16-bit here on every platform so the layout is the
// library's; pointers make the records larger on 64-bit Linux, which only the
// adapter sees.
#pragma once

#include <cstdint>
#include <string>

#if defined(_WIN32)
#define VLM_RAR_CALL __stdcall
#else
#define VLM_RAR_CALL
#endif

namespace platform {

// The library's results. RARReadHeaderEx ends an intact archive with
// ERAR_END_ARCHIVE; any other non-zero result of it, and any non-zero result
// of RARProcessFile, is an error (damaged or cut-short data, a wrong
// checksum, a file that could not be written).
constexpr unsigned kRarSuccess = 0;
constexpr unsigned kRarEndArchive = 10;       // ERAR_END_ARCHIVE
constexpr unsigned kRarNoMemory = 11;         // ERAR_NO_MEMORY
constexpr unsigned kRarBadData = 12;          // ERAR_BAD_DATA
constexpr unsigned kRarBadArchive = 13;       // ERAR_BAD_ARCHIVE
constexpr unsigned kRarUnknownFormat = 14;    // ERAR_UNKNOWN_FORMAT
constexpr unsigned kRarOpenError = 15;        // ERAR_EOPEN
constexpr unsigned kRarCreateError = 16;      // ERAR_ECREATE
constexpr unsigned kRarCloseError = 17;       // ERAR_ECLOSE
constexpr unsigned kRarReadError = 18;        // ERAR_EREAD
constexpr unsigned kRarWriteError = 19;       // ERAR_EWRITE
constexpr unsigned kRarSmallBuffer = 20;      // ERAR_SMALL_BUF
constexpr unsigned kRarUnknown = 21;          // ERAR_UNKNOWN
constexpr unsigned kRarMissingPassword = 22;  // ERAR_MISSING_PASSWORD

constexpr unsigned kRarOpenModeList = 0;     // RAR_OM_LIST
constexpr unsigned kRarOpenModeExtract = 1;  // RAR_OM_EXTRACT
constexpr int kRarSkip = 0;                  // RAR_SKIP
constexpr int kRarTest = 1;                  // RAR_TEST
constexpr int kRarExtract = 2;               // RAR_EXTRACT

// Flags of RARHeaderDataEx: the old library passes the entry's own flags, in
// which bits 5 to 7 all set mark a directory; newer ones set 0x20 alone.
constexpr unsigned kRarFlagEncrypted = 0x04;
constexpr unsigned kRarFlagDirectoryMask = 0xE0;
// HostOS values.
constexpr unsigned kRarHostMsDos = 0, kRarHostOs2 = 1, kRarHostWin32 = 2, kRarHostUnix = 3;

using RarHandle = void*;
using RarCallback = int(VLM_RAR_CALL*)(unsigned msg, std::intptr_t userData, std::intptr_t p1, std::intptr_t p2);

struct RAROpenArchiveDataEx {
  char* ArcName;
  std::uint16_t* ArcNameW;
  unsigned OpenMode;
  unsigned OpenResult;
  char* CmtBuf;
  unsigned CmtBufSize;
  unsigned CmtSize;
  unsigned CmtState;
  unsigned Flags;
  RarCallback Callback;
  std::intptr_t UserData;
  unsigned Reserved[28];
};

struct RARHeaderDataEx {
  char ArcName[1024];
  std::uint16_t ArcNameW[1024];
  char FileName[1024];
  std::uint16_t FileNameW[1024];
  unsigned Flags;
  unsigned PackSize;
  unsigned PackSizeHigh;
  unsigned UnpSize;
  unsigned UnpSizeHigh;
  unsigned HostOS;
  unsigned FileCRC;
  unsigned FileTime;
  unsigned UnpVer;
  unsigned Method;
  unsigned FileAttr;
  char* CmtBuf;
  unsigned CmtBufSize;
  unsigned CmtSize;
  unsigned CmtState;
  unsigned Reserved[1024];
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(RAROpenArchiveDataEx) == 156, "the library's open record is 156 bytes");
static_assert(sizeof(RARHeaderDataEx) == 10300, "the library's header record is 10300 bytes");
#endif

// The library's four calls. RAROpenArchiveEx returns null or a handle and
// sets OpenResult; RARReadHeaderEx returns 0 when a header was read;
// RARProcessFile skips, tests or extracts the entry just read, to destName
// (a whole relative or absolute name) when given, else under destPath.
RarHandle rarOpenArchiveEx(RAROpenArchiveDataEx* data);
int rarReadHeaderEx(RarHandle archive, RARHeaderDataEx* header);
int rarProcessFile(RarHandle archive, int operation, const char* destPath, const char* destName);
int rarCloseArchive(RarHandle archive);

// The system's own reason ("No space left on device") for the last
// ERAR_ECREATE or ERAR_EWRITE that rarProcessFile returned for this
// archive, taken where the file could not be created or written; empty when
// the system gave none or the last call did not fail so. Linux: from the
// adapter's own calls, or the error number the reader passes on with its
// entry's end. Windows: the library's thread error right after its call,
// when it left one.
std::string rarSystemError(RarHandle archive);

// Why no archive can be read here at all, for a message that says so
// instead of calling every archive damaged: Windows: "unrar.dll" is missing
// beside the running program or lacks one of the four calls; Linux: the
// contained reader "vlm-rar-reader" is not beside the running program.
// Empty when the reader is there.
std::string rarReaderProblem();
// Linux: how long the contained reader each archive is read by may stay
// silent before its archive counts as damaged (test builds may point at
// another reader and shorten the limit: platform/test_hooks.h).
constexpr unsigned kDefaultRarReaderIdleLimitMs = 60000;

}  // namespace platform
