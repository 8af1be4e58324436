// Files on Windows: the kernel32 calls with narrow (ANSI) names.
#include "platform/file.h"

#include <io.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/test_hooks.h"

namespace platform {

namespace {

// A failure as the system gives it, with the error's text.
Status failureOf(DWORD error) {
  SetLastError(error);
  return Status::systemFailure();
}

}  // namespace

std::string nativePath(const char* path) { return std::string(path ? path : ""); }

std::FILE* openStdioFile(const char* path, const char* mode) { return std::fopen(path, mode); }

static FileHandle toFile(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(handle);
}
static HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

FileHandle openFileForExclusiveUpdate(const char* path) {
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

Status writeFileAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size) {
  if (file == kNoFile) return failureOf(ERROR_INVALID_HANDLE);
  if (testFailsWrite(file, offset, size)) return failureOf(ERROR_WRITE_FAULT);
  if (!seekTo(toHandle(file), offset)) return Status::systemFailure();
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(toHandle(file), p, chunk, &written, nullptr)) return Status::systemFailure();
    if (written == 0) return Status::failure("the system wrote no byte");
    p += written;
    size -= written;
  }
  return Status();
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

Status flushFileToDisk(FileHandle file) {
  if (file == kNoFile) return failureOf(ERROR_INVALID_HANDLE);
  if (testFailsFlush(file)) return failureOf(ERROR_WRITE_FAULT);
  if (!FlushFileBuffers(toHandle(file))) return Status::systemFailure();
  return Status();
}

bool deleteFile(const char* path) { return DeleteFileA(path) != 0; }

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool isReparsePoint(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// How long the name's root is ("\", "X:" or "X:\"); the walk starts below it.
std::size_t rootLength(const std::string& name) {
  std::size_t i = name.size() >= 2 && name[1] == ':' ? 2 : 0;
  while (i < name.size() && isSeparator(name[i])) ++i;
  return i;
}

// Where each component of the name ends, in order, empty ones left out.
std::vector<std::size_t> componentEnds(const std::string& name) {
  std::vector<std::size_t> ends;
  for (std::size_t i = rootLength(name); i < name.size();) {
    while (i < name.size() && isSeparator(name[i])) ++i;
    std::size_t start = i;
    while (i < name.size() && !isSeparator(name[i])) ++i;
    if (i > start) ends.push_back(i);
  }
  return ends;
}

// The component that ends at `end`.
std::string componentAt(const std::string& name, std::size_t end) {
  std::size_t start = end;
  while (start > 0 && !isSeparator(name[start - 1])) --start;
  return name.substr(start, end - start);
}

// Where an open handle really leads, as the system spells it; empty when the
// system cannot tell (GetFinalPathNameByHandleA came with Vista).
std::string finalPathOf(HANDLE handle) {
  using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPSTR, DWORD, DWORD);
  static const auto finalPath = reinterpret_cast<FinalPathFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA")));
  if (!finalPath) return std::string();
  char buffer[1024];
  DWORD length = finalPath(handle, buffer, sizeof buffer, 0);
  return length > 0 && length < sizeof buffer ? std::string(buffer, length) : std::string();
}

// Where a component below `parent` must lead when nothing redirects it:
// Windows drops a component's trailing dots and blanks, and "." stays put.
// Empty when that cannot be said ("..", or the parent's place is unknown).
std::string expectedPath(const std::string& parent, std::string component) {
  if (parent.empty() || component == "..") return std::string();
  while (!component.empty() && (component.back() == '.' || component.back() == ' ')) component.pop_back();
  if (component.empty()) return parent;
  return parent + (isSeparator(parent.back()) ? "" : "\\") + component;
}

// One component opened as itself, never as what it points to.
struct Opened {
  HANDLE handle = INVALID_HANDLE_VALUE;
  DWORD attributes = 0;
  std::string path;  // where it really is; empty when unknown
  bool isLink = false;
};

// Opens the name (its last component below a parent whose real place is
// parentPath) as itself and tells whether that component is a link: a
// reparse point by its handle or by its name, or a handle that leads
// elsewhere than the name says, which is how Wine shows a Unix symbolic
// link. A link's handle is closed again.
Opened openAsItself(const std::string& name, const std::string& parentPath, DWORD access, DWORD share,
                    DWORD disposition, DWORD flags) {
  Opened opened;
  opened.handle =
      CreateFileA(name.c_str(), access, share, nullptr, disposition, flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (opened.handle == INVALID_HANDLE_VALUE) return opened;
  if (!GetFileInformationByHandle(opened.handle, &info)) {
    CloseHandle(opened.handle);
    opened.handle = INVALID_HANDLE_VALUE;
    return opened;
  }
  opened.attributes = info.dwFileAttributes;
  opened.path = finalPathOf(opened.handle);
  std::vector<std::size_t> ends = componentEnds(name);
  std::string expected = ends.empty() ? std::string() : expectedPath(parentPath, componentAt(name, ends.back()));
  bool elsewhere = !expected.empty() && !opened.path.empty() && lstrcmpiA(expected.c_str(), opened.path.c_str()) != 0;
  opened.isLink = isReparsePoint(opened.attributes) || isReparsePoint(GetFileAttributesA(name.c_str())) || elsewhere;
  if (opened.isLink) {
    CloseHandle(opened.handle);
    opened.handle = INVALID_HANDLE_VALUE;
  }
  return opened;
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The directories on a name's way, held open from their check until the
// file has been opened: without delete sharing none of them can be renamed
// or removed and put back as a junction in between.
struct Walk {
  std::vector<HANDLE> held;
  std::string path;  // the real place of the last directory reached; empty when unknown
  Walk() = default;
  Walk(const Walk&) = delete;
  Walk& operator=(const Walk&) = delete;
  ~Walk() {
    for (HANDLE handle : held) CloseHandle(handle);
  }
};

// Where the walk starts: the working directory, or the name's root. Its
// place is learnt, not checked: links above the installation are the
// owner's business.
void startWalk(const std::string& name, Walk& walk) {
  std::string root = name.substr(0, rootLength(name));
  if (root.empty() || root.back() == ':') root += ".";
  HANDLE start = CreateFileA(root.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (start == INVALID_HANDLE_VALUE) return;
  walk.path = finalPathOf(start);
  CloseHandle(start);
}

// Holds every directory before the name's last component, each checked to
// be a real directory and no link. False when the name is empty or one of
// them is missing, not a directory or a link.
bool holdParents(const std::string& name, Walk& walk) {
  std::vector<std::size_t> ends = componentEnds(name);
  if (ends.empty()) return false;
  startWalk(name, walk);
  for (std::size_t i = 0; i + 1 < ends.size(); ++i) {
    Opened directory = openAsItself(name.substr(0, ends[i]), walk.path, FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (directory.handle == INVALID_HANDLE_VALUE) return false;
    walk.held.push_back(directory.handle);
    if ((directory.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    walk.path = directory.path;
  }
  return true;
}

// Creates or opens the plain file at the name for writing, never through a
// link, and cuts it to zero length. CREATE_NEW first: it refuses any name
// that exists, a dangling link too, so no link's target is ever created;
// an existing file is then opened as itself and checked before it is cut.
// Sharing as given, so a file another process holds against it stays whole.
FileHandle createPlainFile(const char* name, DWORD access, DWORD share) {
  std::string text(name ? name : "");
  Walk walk;
  if (!holdParents(text, walk)) return kNoFile;
  HANDLE file = CreateFileA(text.c_str(), access, share, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return kNoFile;
    Opened existing = openAsItself(text, walk.path, access, share, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (existing.handle == INVALID_HANDLE_VALUE) return kNoFile;
    file = existing.handle;
    if ((existing.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || !seekTo(file, 0) || !SetEndOfFile(file)) {
      CloseHandle(file);
      return kNoFile;
    }
  }
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return kNoFile;
  }
  return toFile(file);
}

}  // namespace

bool nameCrossesLink(const char* name) {
  std::string text(name ? name : "");
  Walk walk;
  startWalk(text, walk);
  for (std::size_t end : componentEnds(text)) {
    std::string prefix = text.substr(0, end);
    // A dangling link still has attributes of its own; a missing name has none.
    DWORD attributes = GetFileAttributesA(prefix.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (isReparsePoint(attributes)) return true;
    Opened component =
        openAsItself(prefix, walk.path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (component.isLink) return true;
    if (component.handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(component.handle);
    if ((component.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
    walk.path = component.path;
  }
  return false;
}

namespace {

// What GetFileAttributesA says lies at a name, as itself: a missing name
// has no attributes, a link (a dangling one too) has its own.
PlainFileOpen kindByAttributes(const std::string& name, Status* why) {
  DWORD attributes = GetFileAttributesA(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME)
      return PlainFileOpen::kMissing;
    if (why) *why = failureOf(error);
    return PlainFileOpen::kFailed;
  }
  if (isReparsePoint(attributes)) return PlainFileOpen::kLink;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PlainFileOpen::kDirectory;
  if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) return PlainFileOpen::kNotPlain;
  return PlainFileOpen::kOpened;
}

}  // namespace

PlainFileOpen openPlainFileNoFollow(const char* name, File* file, Status* why) {
  file->reset();
  std::string text(name ? name : "");
  std::vector<std::size_t> ends = componentEnds(text);
  if (ends.empty()) return PlainFileOpen::kMissing;
  Walk walk;
  startWalk(text, walk);
  for (std::size_t i = 0; i + 1 < ends.size(); ++i) {
    std::string prefix = text.substr(0, ends[i]);
    PlainFileOpen kind = kindByAttributes(prefix, why);
    if (kind == PlainFileOpen::kLink || kind == PlainFileOpen::kFailed) return kind;
    if (kind != PlainFileOpen::kDirectory) return PlainFileOpen::kMissing;
    Opened directory = openAsItself(prefix, walk.path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (directory.isLink) return PlainFileOpen::kLink;
    if (directory.handle == INVALID_HANDLE_VALUE) {
      if (why) *why = Status::systemFailure();
      return PlainFileOpen::kFailed;
    }
    walk.held.push_back(directory.handle);
    if ((directory.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return PlainFileOpen::kMissing;
    walk.path = directory.path;
  }
  PlainFileOpen kind = kindByAttributes(text, why);
  if (kind != PlainFileOpen::kOpened) return kind;
  // Shared for reading and writing: the launcher's own archive handles write.
  Opened opened = openAsItself(text, walk.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN);
  if (opened.isLink) return PlainFileOpen::kLink;
  if (opened.handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PlainFileOpen::kMissing;
    if (why) *why = failureOf(error);
    return PlainFileOpen::kFailed;
  }
  File held(toFile(opened.handle));
  if ((opened.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return PlainFileOpen::kDirectory;
  if (GetFileType(opened.handle) != FILE_TYPE_DISK) return PlainFileOpen::kNotPlain;
  *file = std::move(held);
  return PlainFileOpen::kOpened;
}

Status inspectNameNoFollow(const char* name, NameFacts* facts) {
  *facts = NameFacts();
  if (!name || !*name) return Status::failure("no name");
  if (nameCrossesLink(name)) {
    facts->kind = NameKind::kLink;
    return Status();
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(name, GetFileExInfoStandard, &data)) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Status();
    return failureOf(error);
  }
  if (isReparsePoint(data.dwFileAttributes)) {
    facts->kind = NameKind::kLink;
  } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    facts->kind = NameKind::kDirectory;
  } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
    facts->kind = NameKind::kOther;
  } else {
    facts->kind = NameKind::kFile;
    facts->size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  return Status();
}

FileHandle createFileNoFollow(const char* name) { return createPlainFile(name, GENERIC_WRITE, 0); }

FileHandle createArchiveFile(const char* name) {
  return createPlainFile(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ);
}

bool createDirectoryNoFollow(const char* name) {
  std::string text(name ? name : "");
  Walk walk;
  if (!holdParents(text, walk)) return false;
  CreateDirectoryA(text.c_str(), nullptr);
  Opened directory = openAsItself(text, walk.path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (directory.handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(directory.handle);
  return (directory.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool deleteFileNoFollow(const char* name) {
  std::string text(name ? name : "");
  Walk walk;
  if (!holdParents(text, walk)) return false;
  // The file is held open as itself while it is checked and deleted: its
  // name cannot be freed and taken by a link in between (a deletion by
  // someone else only marks it until this handle closes).
  Opened file = openAsItself(text, walk.path, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (file.handle == INVALID_HANDLE_VALUE) return false;
  bool deleted = (file.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && DeleteFileA(text.c_str()) != 0;
  CloseHandle(file.handle);
  return deleted;
}

namespace {

// Removes `name`, whose real place is known to be below `parentPath`: a
// plain file, or a real directory after everything in it. A directory is
// held open as itself, without delete sharing, while what it holds is
// removed, so it cannot be renamed and put back as a junction meanwhile;
// `shown` is the name for the reason.
Status removeEntryNoFollow(const std::string& name, const std::string& parentPath, const std::string& shown,
                           int depth) {
  Opened entry = openAsItself(name, parentPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS);
  if (entry.isLink) return Status::failure("a link lies inside it: " + shown);
  if (entry.handle == INVALID_HANDLE_VALUE) return Status::systemFailure(shown + " cannot be opened");
  if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    CloseHandle(entry.handle);
    // Between the check and the deletion a plain file may have become a
    // link; DeleteFile removes a link itself, never its target.
    if (!DeleteFileA(name.c_str())) return Status::systemFailure(shown + " cannot be removed");
    return Status();
  }
  if (depth >= kMaxRemovedDepth) {
    CloseHandle(entry.handle);
    return Status::failure(shown + " is nested too deep");
  }
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((name + "\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      std::string entryName = found.cFileName;
      if (entryName != "." && entryName != "..") names.push_back(entryName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
  }
  Status removed;
  for (const std::string& entryName : names) {
    removed = removeEntryNoFollow(name + "\\" + entryName, entry.path, shown + "\\" + entryName, depth + 1);
    if (!removed.ok()) break;
  }
  CloseHandle(entry.handle);
  if (!removed.ok()) return removed;
  if (!RemoveDirectoryA(name.c_str())) return Status::systemFailure(shown + " cannot be removed");
  return Status();
}

}  // namespace

Status removeTreeNoFollow(const char* name) {
  std::string text(name ? name : "");
  Walk walk;
  if (!holdParents(text, walk)) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Status();
    return Status::failure("a link, a file or nothing lies on its way");
  }
  DWORD attributes = GetFileAttributesA(text.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return Status();
    return Status::systemFailure(text + " cannot be examined");
  }
  if (isReparsePoint(attributes)) return Status::failure("a link lies in its place");
  Status removed = removeEntryNoFollow(text, walk.path, text, 0);
  // A link at the name itself is no link inside it.
  if (!removed.ok() && removed.reason() == "a link lies inside it: " + text)
    return Status::failure("a link lies in its place");
  return removed;
}

bool pathExists(const char* path) { return _access(path, 0) == 0; }

bool isDirectory(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void createDirectory(const char* path) { CreateDirectoryA(path, nullptr); }

Status makeRunnable(const char*) { return Status(); }

Status copyFileReplacing(const char* from, const char* to) {
  if (!CopyFileA(from, to, FALSE)) return Status::systemFailure();
  return Status();
}

Status replaceFileAtomicallyWithReason(const char* from, const char* to) {
  if (testFailsReplace(from, to)) return failureOf(ERROR_WRITE_FAULT);
  // The data first: write-through covers the rename, not what the file holds.
  HANDLE data = CreateFileA(from, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (data == INVALID_HANDLE_VALUE) return Status::systemFailure();
  if (!FlushFileBuffers(data)) {
    Status failed = Status::systemFailure();
    CloseHandle(data);
    return failed;
  }
  CloseHandle(data);
  // MoveFileEx with write-through returns only once the rename is on disk;
  // replacing an existing target is one step for the file system.
  if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return Status::systemFailure();
  return Status();
}

}  // namespace platform
