#include "update/rar_extract.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "archive/index.h"
#include "archive/install_path.h"
#include "core/log.h"
#include "platform/file.h"
#include "platform/rar.h"

namespace update {

namespace {

// The library first writes a file that replaces one of the installation's
// under its name with this added; only a whole, checked file is then put in
// place of the name.
constexpr const char* kPartSuffix = ".vlm-part";

// Directory entries: the old library marks them with bits 5 to 7 of Flags;
// newer ones set only 0x20 there, so the entry's attributes are asked too.
bool isDirectoryEntry(const platform::RARHeaderDataEx& header) {
  if ((header.Flags & platform::kRarFlagDirectoryMask) == platform::kRarFlagDirectoryMask) return true;
  if (header.HostOS == platform::kRarHostUnix) return (header.FileAttr & 0xF000) == 0x4000;
  return (header.FileAttr & 0x10) != 0;  // FILE_ATTRIBUTE_DIRECTORY
}

// Symbolic links (Unix mode S_IFLNK, or a Windows reparse point) are never
// created: a link could point a later write anywhere on the disk.
bool isLinkEntry(const platform::RARHeaderDataEx& header) {
  if (header.HostOS == platform::kRarHostUnix) return (header.FileAttr & 0xF000) == 0xA000;
  return (header.FileAttr & 0x400) != 0;  // FILE_ATTRIBUTE_REPARSE_POINT
}

// What a library result means, for the trace.
const char* rarErrorText(int code) {
  switch (code) {
    case platform::kRarNoMemory:
      return "out of memory";
    case platform::kRarBadData:
      return "damaged data or wrong checksum";
    case platform::kRarBadArchive:
      return "not a valid archive";
    case platform::kRarUnknownFormat:
      return "unknown archive format";
    case platform::kRarOpenError:
      return "cannot open";
    case platform::kRarCreateError:
      return "cannot create the file";
    case platform::kRarCloseError:
      return "cannot close";
    case platform::kRarReadError:
      return "read error";
    case platform::kRarWriteError:
      return "write error";
    case platform::kRarUnknown:
      return "unsupported entry";
    case platform::kRarMissingPassword:
      return "encrypted";
    default:
      return "error";
  }
}

// A name from the archive as the trace may show it: control characters
// (which could steer the console) become "?".
std::string printable(const char* name) {
  std::string text(name);
  for (char& c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) c = '?';
  }
  return text;
}

enum class Destination { kWritable, kUnsafeName, kCrossesLink };

// Whether a file may be written under name (and its temporary twin part,
// when it has one).
Destination checkDestination(const char* name, const std::string* part) {
  if (!archive::isInstallRelativeName(name) || archive::namesArchiveSetFile(archive::archiveSet, name) ||
      (part && archive::namesArchiveSetFile(archive::archiveSet, part->c_str()))) {
    return Destination::kUnsafeName;
  }
  if (platform::nameCrossesLink(name) || (part && platform::nameCrossesLink(part->c_str())))
    return Destination::kCrossesLink;
  return Destination::kWritable;
}

// Tells the trace why the entry just read could not be extracted, with the
// system's own reason when the file could not be created or written.
void logEntryFailure(platform::RarHandle archive, const char* stored, int result) {
  std::string system = platform::rarSystemError(archive);
  core::debugLog("%s could not be extracted: %s (RAR error %d)%s%s.", printable(stored).c_str(), rarErrorText(result),
                 result, system.empty() ? "" : ": ", system.c_str());
}

// Whether one of the directories a name passes through is the package's
// name, as Windows compares names: writing it would make a directory where
// the package is to be written, and keep one there for every later run.
bool runsThroughPackageName(const char* name, const char* targetName) {
  if (!targetName) return false;
  const std::string package = archive::windowsFoldedName(targetName);
  for (const std::string& directory : platform::directoriesOnTheWay(name)) {
    if (archive::windowsFoldedName(directory) == package) return true;
  }
  return false;
}

// Extracts the entry just read to part, then puts part in place of name.
// False (the trace says why, part is gone) on any error.
bool replaceWithEntry(platform::RarHandle archive, const char* stored, const char* name, const std::string& part) {
  int result = platform::rarProcessFile(archive, platform::kRarExtract, "", part.c_str());
  if (result != 0) {
    logEntryFailure(archive, stored, result);
    platform::deleteFileNoFollow(part.c_str());
    return false;
  }
  platform::Status placed = platform::replaceFileAtomicallyWithReason(part.c_str(), name);
  if (!placed.ok()) {
    platform::deleteFileNoFollow(part.c_str());
    core::debugLog("%s could not be put in place as %s: %s.", printable(stored).c_str(), printable(name).c_str(),
                   placed.reason().c_str());
    return false;
  }
  return true;
}

// Extracts the entry just read as the package, straight under its name. The
// package is no file of the installation: it is read once, right after this
// call, and deleted; a crash while it is written leaves a file that the
// next extraction to that name deletes first. So neither a temporary twin
// nor a flush to disk is needed, only that a failed entry leaves nothing.
bool writePackage(platform::RarHandle archive, const char* stored, const char* name) {
  int result = platform::rarProcessFile(archive, platform::kRarExtract, "", name);
  if (result != 0) {
    logEntryFailure(archive, stored, result);
    platform::deleteFileNoFollow(name);
    return false;
  }
  return true;
}

// Reads every entry; false at the first error. wroteTarget tells whether a
// file was put in place under targetName.
bool extractEntries(platform::RarHandle archive, platform::RARHeaderDataEx& header, const char* targetName,
                    bool* wroteTarget) {
  int status;
  while ((status = platform::rarReadHeaderEx(archive, &header)) == 0) {
    header.FileName[sizeof header.FileName - 1] = '\0';
    const char* stored = header.FileName;
    if (isDirectoryEntry(header) || isLinkEntry(header)) {
      platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
      continue;
    }
    // Stored as ext\name: lands as name. A name of four characters or less
    // leaves nothing to land under.
    const bool ownName = std::strstr(stored, "ext") != nullptr;
    const char* name = ownName ? (std::strlen(stored) > 4 ? stored + 4 : "") : (targetName ? targetName : stored);
    // The package, whichever way the archive names it.
    const bool callersName = targetName && std::strcmp(name, targetName) == 0;
    const std::string part = std::string(name) + kPartSuffix;
    if (!callersName && runsThroughPackageName(name, targetName)) {
      platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
      core::debugLog("%s skipped: its name runs through %s, the package's name.", printable(stored).c_str(),
                     printable(targetName).c_str());
      continue;
    }
    Destination destination = checkDestination(name, callersName ? nullptr : &part);
    if (destination != Destination::kWritable) {
      platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
      const bool linked = destination == Destination::kCrossesLink;
      if (callersName && linked) {
        core::debugLog("%s cannot be written: a link lies on its way or in its place.", printable(name).c_str());
        return false;
      }
      core::debugLog("%s skipped: %s.", printable(stored).c_str(),
                     linked ? "a link lies on its way or in its place" : "its name may not be written");
      continue;
    }
    if (callersName) {
      if (!writePackage(archive, stored, name)) return false;
      *wroteTarget = true;
    } else if (!replaceWithEntry(archive, stored, name, part)) {
      return false;
    }
  }
  if (status != static_cast<int>(platform::kRarEndArchive)) {
    core::debugLog("The archive could not be read to its end: %s (RAR error %d).", rarErrorText(status), status);
    return false;
  }
  return true;
}

}  // namespace

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
  // Whatever lies under the package's name now is not this archive's: a
  // package left by an earlier run that broke off must not pass for one
  // this archive gave (it may hold none), and a directory there (an older
  // launcher let an archive make one) would keep every package out.
  if (targetName && checkDestination(targetName, nullptr) == Destination::kWritable) {
    platform::Status removed = platform::removeTreeNoFollow(targetName);
    if (!removed.ok()) {
      core::debugLog("%s, left by an earlier run, cannot be removed: %s.", printable(targetName).c_str(),
                     printable(removed.reason().c_str()).c_str());
      platform::rarCloseArchive(archive);
      std::fputs("Falha ao extrair.\n", stdout);
      return false;
    }
  }
  bool wroteTarget = false;
  bool ok = extractEntries(archive, *header, targetName, &wroteTarget);
  platform::rarCloseArchive(archive);
  if (!ok) {
    // A package from an archive that failed is not to be applied, even when
    // an earlier entry gave it whole.
    if (wroteTarget) platform::deleteFileNoFollow(targetName);
    std::fputs("Falha ao extrair.\n", stdout);
  }
  return ok;
}

}  // namespace update
