#include "update/rar_extract.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "archive/index.h"
#include "archive/install_path.h"
#include "platform/file.h"
#include "platform/rar.h"

bool staysInWorkingDirectory(const char* name) {
  if (!name || !*name) return false;
  if (name[0] == '\\' || name[0] == '/') return false;
  if (std::strchr(name, ':')) return false;  // a drive ("C:") or an alternate stream
  std::string part;
  for (const char* p = name;; ++p) {
    if (*p == '\\' || *p == '/' || *p == '\0') {
      if (part == "..") return false;
      part.clear();
      if (*p == '\0') break;
    } else {
      part += *p;
    }
  }
  return true;
}

// Directory entries: the old library marks them with bits 5 to 7 of Flags;
// newer ones set only 0x20 there, so the entry's attributes are asked too.
static bool isDirectoryEntry(const platform::RARHeaderDataEx& header) {
  if ((header.Flags & platform::kRarFlagDirectoryMask) == platform::kRarFlagDirectoryMask) return true;
  if (header.HostOS == platform::kRarHostUnix) return (header.FileAttr & 0xF000) == 0x4000;
  return (header.FileAttr & 0x10) != 0;  // FILE_ATTRIBUTE_DIRECTORY
}

// Symbolic links (Unix mode S_IFLNK, or a Windows reparse point) are never
// created: a link could point a later write anywhere on the disk.
static bool isLinkEntry(const platform::RARHeaderDataEx& header) {
  if (header.HostOS == platform::kRarHostUnix) return (header.FileAttr & 0xF000) == 0xA000;
  return (header.FileAttr & 0x400) != 0;  // FILE_ATTRIBUTE_REPARSE_POINT
}

bool extractPatchArchive(const char* archivePath, const char* targetName) {
  // The records are large (10 KiB); they live on the heap, zero-filled.
  std::unique_ptr<platform::RAROpenArchiveDataEx> open(new platform::RAROpenArchiveDataEx());
  std::unique_ptr<platform::RARHeaderDataEx> header(new platform::RARHeaderDataEx());
  std::string path(archivePath ? archivePath : "");
  open->ArcName = &path[0];
  open->OpenMode = platform::kRarOpenModeExtract;
  platform::RarHandle archive = platform::rarOpenArchiveEx(open.get());
  if (open->OpenResult != 0 || !archive) {
    if (archive) platform::rarCloseArchive(archive);
    std::fputs("Falha ao extrair.\n", stdout);
    return false;
  }

  while (platform::rarReadHeaderEx(archive, header.get()) == 0) {
    header->FileName[sizeof header->FileName - 1] = '\0';
    const char* stored = header->FileName;
    if (isDirectoryEntry(*header) || isLinkEntry(*header)) {
      platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
    } else if (std::strstr(stored, "ext")) {
      // Stored as ext\name: lands as name. A name of four characters or less
      // leaves nothing to land under.
      const char* own = std::strlen(stored) > 4 ? stored + 4 : "";
      // Nor may it replace the index or an archive that the set holds open.
      if (!staysInWorkingDirectory(own) || namesArchiveSetFile(archiveSet, own)) {
        platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
        continue;
      }
      if (platform::pathExists(own)) platform::deleteFile(own);
      platform::rarProcessFile(archive, platform::kRarExtract, "", own);
    } else {
      const char* destination = targetName ? targetName : stored;
      if (!staysInWorkingDirectory(destination) || namesArchiveSetFile(archiveSet, destination)) {
        platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
        continue;
      }
      platform::rarProcessFile(archive, platform::kRarExtract, "", destination);
    }
  }
  platform::rarCloseArchive(archive);
  return true;
}
