// Links planted in a test's working directory the way a local user could
// plant them inside a game folder they can write: a symbolic link to a
// directory, to a file, to nothing (dangling), and on Windows a junction,
// which any user may create without a privilege.
//
// Under Wine 8 (where the Windows tests run here) Wine has no symbolic
// links of its own (CreateSymbolicLinkA reports success and makes nothing)
// and no junctions (FSCTL_SET_REPARSE_POINT fails), but a local user can
// still plant a Unix symbolic link in the prefix, so that is what is
// planted there: Wine starts a Unix program named by its Unix path.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#include <winioctl.h>

#include <cstring>
#else
#include <unistd.h>
#endif

enum class LinkKind { kDirectory, kFile, kDangling, kJunction };

inline const char* linkKindName(LinkKind kind) {
  switch (kind) {
    case LinkKind::kDirectory:
      return "directory link";
    case LinkKind::kFile:
      return "file link";
    case LinkKind::kDangling:
      return "dangling link";
    case LinkKind::kJunction:
      return "junction";
  }
  return "?";
}

#if defined(_WIN32)
namespace planted_links_detail {

// A mount-point reparse buffer (the layout FSCTL_SET_REPARSE_POINT takes for
// a junction), which mingw's headers do not declare.
struct MountPointReparseBuffer {
  DWORD reparseTag;
  WORD reparseDataLength;
  WORD reserved;
  WORD substituteNameOffset;
  WORD substituteNameLength;
  WORD printNameOffset;
  WORD printNameLength;
  WCHAR pathBuffer[1024];
};

inline bool plantJunction(const std::string& link, const std::string& target) {
  if (!CreateDirectoryA(link.c_str(), nullptr)) return false;
  std::wstring full = std::filesystem::absolute(target).wstring();
  std::wstring substitute = L"\\??\\" + full;
  MountPointReparseBuffer buffer;
  std::memset(&buffer, 0, sizeof buffer);
  std::size_t substituteBytes = substitute.size() * sizeof(WCHAR), printBytes = full.size() * sizeof(WCHAR);
  if (substituteBytes + printBytes + 2 * sizeof(WCHAR) > sizeof buffer.pathBuffer) return false;
  buffer.reparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  buffer.substituteNameLength = static_cast<WORD>(substituteBytes);
  buffer.printNameOffset = static_cast<WORD>(substituteBytes + sizeof(WCHAR));
  buffer.printNameLength = static_cast<WORD>(printBytes);
  std::memcpy(buffer.pathBuffer, substitute.c_str(), substituteBytes + sizeof(WCHAR));
  std::memcpy(reinterpret_cast<char*>(buffer.pathBuffer) + buffer.printNameOffset, full.c_str(),
              printBytes + sizeof(WCHAR));
  buffer.reparseDataLength = static_cast<WORD>(4 * sizeof(WORD) + substituteBytes + printBytes + 2 * sizeof(WCHAR));
  HANDLE directory = CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BOOL set = FALSE;
  if (directory != INVALID_HANDLE_VALUE) {
    DWORD returned = 0;
    set = DeviceIoControl(directory, FSCTL_SET_REPARSE_POINT, &buffer, 8 + buffer.reparseDataLength, nullptr, 0,
                          &returned, nullptr);
    CloseHandle(directory);
  }
  if (!set) RemoveDirectoryA(link.c_str());
  return set != 0;
}

// Wine's own call, present only under Wine: the Unix name of a Windows one.
inline std::string unixNameUnderWine(const std::string& name) {
  using UnixNameFunction = char*(CDECL*)(LPCWSTR);
  auto unixName = reinterpret_cast<UnixNameFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  if (!unixName) return std::string();
  // The parent exists; the last part may not.
  std::filesystem::path full = std::filesystem::absolute(name);
  char* parent = unixName(full.parent_path().wstring().c_str());
  if (!parent) return std::string();
  std::string result = std::string(parent) + "/" + full.filename().string();
  HeapFree(GetProcessHeap(), 0, parent);
  return result;
}

inline bool isUnderWine() { return !unixNameUnderWine(".").empty(); }

// Under Wine, whether the name is free: CREATE_NEW refuses any name that
// exists, a dangling Unix link too, which nothing else shows.
inline bool nameIsFreeUnderWine(const std::string& name) {
  HANDLE probe = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  if (probe == INVALID_HANDLE_VALUE) return false;
  CloseHandle(probe);
  DeleteFileA(name.c_str());
  return true;
}

// Runs a Unix command under Wine and waits, up to 20 seconds, until `done`
// says it has had its effect: such a process cannot be waited for.
template <typename Done>
bool runUnixCommandUnderWine(std::string command, Done done) {
  STARTUPINFOA startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
    return false;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    Sleep(20);
  }
  return false;
}

inline bool plantUnixLinkUnderWine(const std::string& link, const std::string& target) {
  std::string unixLink = unixNameUnderWine(link), unixTarget = unixNameUnderWine(target);
  if (unixLink.empty() || unixTarget.empty()) return false;
  return runUnixCommandUnderWine("/bin/ln -s \"" + unixTarget + "\" \"" + unixLink + "\"",
                                 [&] { return GetFileAttributesA(link.c_str()) != INVALID_FILE_ATTRIBUTES; });
}

inline bool removeUnixLinkUnderWine(const std::string& link) {
  std::string unixLink = unixNameUnderWine(link);
  return !unixLink.empty() &&
         runUnixCommandUnderWine("/bin/rm -f \"" + unixLink + "\"", [&] { return nameIsFreeUnderWine(link); });
}

inline bool plantSymbolicLink(const std::string& link, const std::string& target, bool directory) {
  using CreateSymbolicLinkFunction = BOOLEAN(WINAPI*)(LPCSTR, LPCSTR, DWORD);
  auto create = reinterpret_cast<CreateSymbolicLinkFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA")));
  if (!create) return false;
  std::string absolute = std::filesystem::absolute(target).string();
  DWORD flags = directory ? 0x1 : 0x0;  // SYMBOLIC_LINK_FLAG_DIRECTORY
  // Developer mode lets an unprivileged user create links; older systems
  // reject that flag, so try without it too.
  if (!create(link.c_str(), absolute.c_str(), flags | 0x2) && !create(link.c_str(), absolute.c_str(), flags))
    return false;
  DWORD attributes = GetFileAttributesA(link.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace planted_links_detail
#endif

// Plants at `link` a link of the kind pointing at `target` (both relative to
// the working directory). False when this system cannot make it: a junction
// outside Windows or under Wine, a symbolic link on Windows without the
// privilege or developer mode. The link stays until removePlantedLink; a
// LinkPlanter does both.
inline bool plantLink(LinkKind kind, const std::string& link, const std::string& target) {
#if defined(_WIN32)
  if (kind == LinkKind::kJunction) return planted_links_detail::plantJunction(link, target);
  if (planted_links_detail::isUnderWine()) {
    // A dangling link is made to a file, so that it shows once it is
    // there, and the file goes afterwards.
    bool dangling = kind == LinkKind::kDangling;
    if (dangling) CloseHandle(CreateFileA(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    bool made = planted_links_detail::plantUnixLinkUnderWine(link, target);
    if (dangling) DeleteFileA(target.c_str());
    return made;
  }
  return planted_links_detail::plantSymbolicLink(link, target, kind == LinkKind::kDirectory);
#else
  if (kind == LinkKind::kJunction) return false;
  return ::symlink(std::filesystem::absolute(target).c_str(), link.c_str()) == 0;
#endif
}

// Removes the link itself, never what it points to.
inline void removePlantedLink(LinkKind kind, const std::string& link) {
#if defined(_WIN32)
  if (kind != LinkKind::kJunction && planted_links_detail::isUnderWine()) {
    planted_links_detail::removeUnixLinkUnderWine(link);
  } else if (kind == LinkKind::kDirectory || kind == LinkKind::kJunction) {
    RemoveDirectoryA(link.c_str());
  } else {
    DeleteFileA(link.c_str());
  }
#else
  (void)kind;
  ::unlink(link.c_str());
#endif
}

// Plants links and removes them again when it goes, which must happen
// before the temporary directory that holds them is removed: the standard
// library's removal would otherwise go through a directory link (and under
// Wine never finish). Declare it after the TempWorkDir.
class LinkPlanter {
 public:
  LinkPlanter() = default;
  LinkPlanter(const LinkPlanter&) = delete;
  LinkPlanter& operator=(const LinkPlanter&) = delete;
  ~LinkPlanter() {
    for (auto it = planted_.rbegin(); it != planted_.rend(); ++it) removePlantedLink(it->first, it->second);
  }

  // plantLink, remembering the link to remove it.
  bool plant(LinkKind kind, const std::string& link, const std::string& target) {
    std::string absolute = std::filesystem::absolute(link).string();
    bool made = plantLink(kind, link, target);
    if (made) planted_.emplace_back(kind, absolute);
    return made;
  }

 private:
  std::vector<std::pair<LinkKind, std::string>> planted_;
};

// Whether the system's file calls can see such a link at all. Under Wine a
// dangling Unix link has no attributes and is left out of directory
// listings, so nothing can tell it from a missing name; what still holds is
// that nothing is created or changed through it.
inline bool linkIsVisible(LinkKind kind) {
#if defined(_WIN32)
  return !(kind == LinkKind::kDangling && planted_links_detail::isUnderWine());
#else
  (void)kind;
  return true;
#endif
}

// Says in the test's output that a kind of link could not be planted here,
// so its cases were not run.
inline void noteUnplantable(LinkKind kind) {
  std::printf("[   NOTE   ] a %s cannot be planted on this system; its cases were not run\n", linkKindName(kind));
}
