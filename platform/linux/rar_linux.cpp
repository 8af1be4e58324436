// The UnRAR library's four calls over libarchive, for Linux.
//
// libarchive reads RAR 4 and RAR 5 archives (compressed or stored); this
// adapter gives its entries the shape of the library's records so that the
// extraction code is the same on both platforms:
//  - FileName: the stored name; Flags: 0xE0 for a directory, 0x04 when the
//    entry is encrypted; HostOS: Unix, FileAttr: the entry's mode bits, so a
//    symbolic link shows as S_IFLNK and can be recognised by the caller.
//  - RAR_EXTRACT writes regular files only; a directory entry creates the
//    directory; anything else (links, devices) is never created.
//  - A data error (damage, encryption) deletes the half-written file and
//    reports ERAR_BAD_DATA; the archive can still be read on where libarchive
//    allows it.
#include "platform/rar.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file.h"

namespace platform {

namespace {

struct RarArchive {
  struct archive* reader = nullptr;
  struct archive_entry* entry = nullptr;  // the entry of the last header read
  bool broken = false;                    // libarchive gave a fatal error
};

// Maps a libarchive open failure to the library's codes.
unsigned openErrorCode(struct archive* reader, const char* path) {
  if (!pathExists(path)) return kRarOpenError;
  (void)reader;
  return kRarBadArchive;  // there, but not an archive libarchive can read
}

// Copies the entry's data to the file at path; false on a read or write error.
bool writeEntryData(struct archive* reader, const std::string& path) {
  // The library creates the directories an entry's name passes through.
  std::string native = nativePath(path.c_str());
  for (std::size_t cut = native.find('/', 1); cut != std::string::npos; cut = native.find('/', cut + 1)) {
    createDirectory(native.substr(0, cut).c_str());
  }
  std::FILE* out = openStdioFile(path.c_str(), "wb");
  if (!out) return false;
  bool ok = true;
  char buffer[1 << 16];
  for (;;) {
    la_ssize_t n = archive_read_data(reader, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0 || std::fwrite(buffer, 1, static_cast<std::size_t>(n), out) != static_cast<std::size_t>(n)) {
      ok = false;
      break;
    }
  }
  if (std::fclose(out) != 0) ok = false;
  return ok;
}

}  // namespace

RarHandle rarOpenArchiveEx(RAROpenArchiveDataEx* data) {
  if (!data) return nullptr;
  data->OpenResult = kRarOpenError;
  if (!data->ArcName) return nullptr;
  RarArchive* archive = new RarArchive;
  archive->reader = archive_read_new();
  archive_read_support_format_rar(archive->reader);
  archive_read_support_format_rar5(archive->reader);
  std::string path = nativePath(data->ArcName);
  if (archive_read_open_filename(archive->reader, path.c_str(), 1 << 16) != ARCHIVE_OK) {
    data->OpenResult = openErrorCode(archive->reader, path.c_str());
    archive_read_free(archive->reader);
    delete archive;
    return nullptr;
  }
  data->OpenResult = kRarSuccess;
  return archive;
}

int rarReadHeaderEx(RarHandle handle, RARHeaderDataEx* header) {
  RarArchive* archive = static_cast<RarArchive*>(handle);
  if (!archive || !header) return static_cast<int>(kRarBadArchive);
  if (archive->broken) return static_cast<int>(kRarBadData);
  int status = archive_read_next_header(archive->reader, &archive->entry);
  if (status == ARCHIVE_EOF) return static_cast<int>(kRarEndArchive);
  if (status == ARCHIVE_FATAL || status == ARCHIVE_RETRY) {
    archive->broken = true;
    archive->entry = nullptr;
    return static_cast<int>(kRarBadData);
  }
  const char* name = archive_entry_pathname(archive->entry);
  std::snprintf(header->FileName, sizeof header->FileName, "%s", name ? name : "");
  for (std::size_t i = 0; i < sizeof header->FileName && header->FileName[i]; ++i) {
    header->FileNameW[i] = static_cast<unsigned char>(header->FileName[i]);
  }
  mode_t mode = archive_entry_mode(archive->entry);
  header->Flags = 0;
  if (S_ISDIR(mode)) header->Flags |= kRarFlagDirectoryMask;
  if (archive_entry_is_encrypted(archive->entry)) header->Flags |= kRarFlagEncrypted;
  header->HostOS = kRarHostUnix;
  header->FileAttr = static_cast<unsigned>(mode);
  la_int64_t size = archive_entry_size(archive->entry);
  header->UnpSize = static_cast<unsigned>(size & 0xFFFFFFFF);
  header->UnpSizeHigh = static_cast<unsigned>(static_cast<std::uint64_t>(size) >> 32);
  return static_cast<int>(kRarSuccess);
}

int rarProcessFile(RarHandle handle, int operation, const char* destPath, const char* destName) {
  RarArchive* archive = static_cast<RarArchive*>(handle);
  if (!archive || !archive->entry) return static_cast<int>(kRarBadArchive);
  struct archive_entry* entry = archive->entry;
  archive->entry = nullptr;
  if (operation != kRarExtract) return archive_read_data_skip(archive->reader) == ARCHIVE_OK ? 0 : kRarBadData;

  std::string target;
  if (destName && *destName) {
    target = destName;
  } else {
    target = destPath && *destPath ? std::string(destPath) + "/" : std::string();
    target += archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
  }
  mode_t mode = archive_entry_mode(entry);
  if (S_ISDIR(mode)) {
    createDirectory(target.c_str());
    return static_cast<int>(kRarSuccess);
  }
  if (!S_ISREG(mode)) {  // links and special files are never created
    archive_read_data_skip(archive->reader);
    return static_cast<int>(kRarSuccess);
  }
  if (!writeEntryData(archive->reader, target)) {
    deleteFile(target.c_str());
    return static_cast<int>(archive_entry_is_encrypted(entry) ? kRarMissingPassword : kRarBadData);
  }
  return static_cast<int>(kRarSuccess);
}

int rarCloseArchive(RarHandle handle) {
  RarArchive* archive = static_cast<RarArchive*>(handle);
  if (!archive) return static_cast<int>(kRarBadArchive);
  archive_read_free(archive->reader);
  delete archive;
  return static_cast<int>(kRarSuccess);
}

}  // namespace platform
