// TEST STAND-IN for the UnRAR library ("unrar.dll"), which cannot be installed
// on the build machine. It exists only so the Windows tests can exercise the
// launcher's run-time loading of the library and its extraction code under
// Wine. It is NOT the real library and is never shipped: it reads RAR 1.5 to
// 4.x archives whose entries are STORED (method 0x30), with no encryption,
// no solid or multi-volume archives and no RAR 5. Anything else opens with
// ERAR_UNKNOWN_FORMAT or fails in RARProcessFile with ERAR_UNKNOWN.
//
// Damage is reported where the real library reports it:
//  - a block header whose CRC does not match, or one cut short by the end of
//    the file: RARReadHeaderEx answers ERAR_BAD_DATA (a broken header);
//  - the end of the file where a block would begin: ERAR_END_ARCHIVE, as the
//    real library reads an archive without its end block;
//  - an entry whose data is cut short or whose CRC does not match: the header
//    reads fine, RARProcessFile with RAR_EXTRACT or RAR_TEST answers
//    ERAR_BAD_DATA. On RAR_EXTRACT the bytes that were there have already
//    been written under the destination name and are left there, as a
//    library that keeps broken files does: the caller must clean up.
//  - RAR_SKIP only steps over the data; it reports nothing.
//
// It exports the library's four calls (stdcall on 32-bit Windows, the one
// convention of 64-bit Windows; undecorated names) with the library's records
// as platform/rar.h declares them (on 32-bit Windows a 156-byte
// RAROpenArchiveDataEx and a 10300-byte RARHeaderDataEx; the pointers make
// them larger on 64-bit), and fills Flags the way the old library does: the
// entry's own header flags, so a directory has bits 5 to 7 set.
//
// RAR 4 block layout read here: HEAD_CRC u16, HEAD_TYPE u8, HEAD_FLAGS u16,
// HEAD_SIZE u16, then ADD_SIZE u32 when HEAD_FLAGS has 0x8000; file headers
// (type 0x74): PACK_SIZE u32, UNP_SIZE u32, HOST_OS u8, FILE_CRC u32,
// FTIME u32, UNP_VER u8, METHOD u8, NAME_SIZE u16, ATTR u32, [HIGH_PACK_SIZE
// u32, HIGH_UNP_SIZE u32 when flag 0x100], name; the packed data follows the
// header.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/rar.h"

using platform::RARHeaderDataEx;
using platform::RAROpenArchiveDataEx;

namespace {

struct StandInArchive {
  std::vector<unsigned char> bytes;
  std::size_t next = 0;  // offset of the next block header
  bool haveEntry = false;
  std::size_t dataOffset = 0;
  std::uint32_t packSize = 0;  // as the header says
  std::size_t present = 0;     // how much of it the file holds
  std::uint32_t fileCrc = 0;
  unsigned flags = 0;
  unsigned method = 0;
  std::string name;
};

std::uint32_t crc32Of(const unsigned char* data, std::size_t size) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return ~crc;
}

unsigned get16(const std::vector<unsigned char>& b, std::size_t at) { return b[at] | (b[at + 1] << 8); }
std::uint32_t get32(const std::vector<unsigned char>& b, std::size_t at) {
  return static_cast<std::uint32_t>(get16(b, at)) | static_cast<std::uint32_t>(get16(b, at + 2)) << 16;
}

bool readWholeFile(const char* path, std::vector<unsigned char>& out) {
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD size = GetFileSize(file, nullptr);
  out.resize(size);
  DWORD read = 0;
  bool ok = size == 0 || (ReadFile(file, out.data(), size, &read, nullptr) && read == size);
  CloseHandle(file);
  return ok;
}

}  // namespace

extern "C" {

__declspec(dllexport) void* VLM_RAR_CALL RAROpenArchiveEx(RAROpenArchiveDataEx* data) {
  if (!data) return nullptr;
  StandInArchive* archive = new StandInArchive;
  if (!data->ArcName || !readWholeFile(data->ArcName, archive->bytes)) {
    data->OpenResult = platform::kRarOpenError;
    delete archive;
    return nullptr;
  }
  static const unsigned char marker[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  if (archive->bytes.size() < 7 + 13 || std::memcmp(archive->bytes.data(), marker, 7) != 0 ||
      archive->bytes[7 + 2] != 0x73) {
    data->OpenResult = platform::kRarUnknownFormat;
    delete archive;
    return nullptr;
  }
  archive->next = 7 + get16(archive->bytes, 7 + 5);
  data->OpenResult = 0;
  return archive;
}

__declspec(dllexport) int VLM_RAR_CALL RARReadHeaderEx(void* handle, RARHeaderDataEx* header) {
  StandInArchive* archive = static_cast<StandInArchive*>(handle);
  if (!archive || !header) return platform::kRarBadArchive;
  std::vector<unsigned char>& b = archive->bytes;
  archive->haveEntry = false;
  while (archive->next < b.size()) {
    std::size_t at = archive->next;
    if (at + 7 > b.size()) return platform::kRarBadData;
    unsigned type = b[at + 2];
    unsigned flags = get16(b, at + 3);
    unsigned size = get16(b, at + 5);
    if (size < 7 || at + size > b.size()) return platform::kRarBadData;
    std::uint32_t addSize = (flags & 0x8000) && size >= 11 ? get32(b, at + 7) : 0;
    if (type == 0x7B) return platform::kRarEndArchive;
    // Where the next block begins; past the end of the file (data cut short)
    // there is none. Kept within the file so that 32-bit sums cannot wrap.
    std::size_t next = addSize <= b.size() - (at + size) ? at + size + addSize : b.size();
    if (type != 0x74) {
      archive->next = next;
      continue;
    }
    if (size < 32) return platform::kRarBadData;
    unsigned nameSize = get16(b, at + 26);
    std::size_t nameAt = at + 32 + ((flags & 0x100) ? 8 : 0);
    if (nameAt + nameSize > at + size) return platform::kRarBadData;
    std::uint32_t headerCrc = crc32Of(&b[at + 2], size - 2) & 0xFFFF;
    if (headerCrc != get16(b, at)) return platform::kRarBadData;

    std::memset(header, 0, sizeof *header);
    archive->name.assign(reinterpret_cast<const char*>(&b[nameAt]), nameSize);
    archive->name = archive->name.c_str();  // a Unicode name part after a NUL is not read
    std::snprintf(header->FileName, sizeof header->FileName, "%s", archive->name.c_str());
    std::snprintf(header->ArcName, sizeof header->ArcName, "%s", "");
    header->Flags = flags & 0xFFFF;
    header->PackSize = get32(b, at + 7);
    header->UnpSize = get32(b, at + 11);
    header->HostOS = b[at + 15];
    header->FileCRC = get32(b, at + 16);
    header->FileTime = get32(b, at + 20);
    header->UnpVer = b[at + 24];
    header->Method = b[at + 25];
    header->FileAttr = get32(b, at + 28);
    archive->haveEntry = true;
    archive->dataOffset = at + size;
    archive->packSize = addSize;
    archive->present = next - archive->dataOffset;
    archive->fileCrc = header->FileCRC;
    archive->flags = flags;
    archive->method = header->Method;
    archive->next = next;
    return 0;
  }
  return platform::kRarEndArchive;
}

__declspec(dllexport) int VLM_RAR_CALL RARProcessFile(void* handle, int operation, char* destPath, char* destName) {
  StandInArchive* archive = static_cast<StandInArchive*>(handle);
  if (!archive || !archive->haveEntry) return platform::kRarBadArchive;
  archive->haveEntry = false;
  if (operation == platform::kRarSkip) return 0;
  std::string target = destName && *destName ? destName : std::string(destPath ? destPath : "");
  if (!(destName && *destName)) {
    if (!target.empty()) target += "\\";
    target += archive->name;
  }
  if ((archive->flags & 0xE0) == 0xE0) {
    if (operation == platform::kRarExtract) CreateDirectoryA(target.c_str(), nullptr);
    return 0;
  }
  if (archive->flags & 0x04) return platform::kRarMissingPassword;
  if (archive->method != 0x30) return platform::kRarUnknown;  // only stored entries here
  const unsigned char* data = archive->bytes.data() + archive->dataOffset;
  bool intact = archive->present == archive->packSize && crc32Of(data, archive->present) == archive->fileCrc;
  if (operation != platform::kRarExtract) return intact ? 0 : platform::kRarBadData;
  // As the real library does: the directories the name passes through.
  for (std::size_t cut = target.find_first_of("\\/", 1); cut != std::string::npos;
       cut = target.find_first_of("\\/", cut + 1)) {
    CreateDirectoryA(target.substr(0, cut).c_str(), nullptr);
  }
  HANDLE file = CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return platform::kRarCreateError;
  DWORD written = 0;
  DWORD length = static_cast<DWORD>(archive->present);
  bool ok = length == 0 || (WriteFile(file, data, length, &written, nullptr) && written == length);
  CloseHandle(file);
  if (!ok) return platform::kRarWriteError;
  return intact ? 0 : platform::kRarBadData;
}

__declspec(dllexport) int VLM_RAR_CALL RARCloseArchive(void* handle) {
  delete static_cast<StandInArchive*>(handle);
  return 0;
}

}  // extern "C"
