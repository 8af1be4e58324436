// Files on Linux: POSIX calls, "\" read as a separator.
#include "platform/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/test_hooks.h"

namespace platform {

namespace {

// A failure as the system gives it, with the error's text.
Status failureOf(int error) {
  errno = error;
  return Status::systemFailure();
}

}  // namespace

std::string nativePath(const char* path) {
  std::string p(path ? path : "");
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

std::FILE* openStdioFile(const char* path, const char* mode) { return std::fopen(nativePath(path).c_str(), mode); }

static FileHandle openWith(const char* path, int flags) {
  int fd;
  do {
    fd = ::open(nativePath(path).c_str(), flags | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? kNoFile : static_cast<FileHandle>(fd);
}

FileHandle openFileForExclusiveUpdate(const char* path) {
  FileHandle file = openWith(path, O_RDWR);
  // Windows lets no other process write a file opened this way; here an
  // exclusive lock does the same among the launcher and its tools, so two
  // of them never append to one archive at once.
  if (file != kNoFile && ::flock(static_cast<int>(file), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    closeFile(file);
    return kNoFile;
  }
  return file;
}
FileHandle createFile(const char* path) { return openWith(path, O_WRONLY | O_CREAT | O_TRUNC); }
FileHandle openFileForReading(const char* path) { return openWith(path, O_RDONLY); }

void closeFile(FileHandle file) {
  if (file != kNoFile) ::close(static_cast<int>(file));
}

bool getFileSize(FileHandle file, std::uint64_t* size) {
  struct stat st;
  if (file == kNoFile || ::fstat(static_cast<int>(file), &st) != 0) return false;
  *size = static_cast<std::uint64_t>(st.st_size);
  return true;
}

Status writeFileAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size) {
  if (file == kNoFile) return failureOf(EBADF);
  if (testFailsWrite(file, offset, size)) return failureOf(EIO);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(static_cast<int>(file), p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Status::systemFailure();
    if (n == 0) return Status::failure("the system wrote no byte");
    p += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return Status();
}

std::int64_t readFileAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size) {
  if (file == kNoFile) return -1;
  std::size_t done = 0;
  char* p = static_cast<char*>(data);
  while (done < size) {
    ssize_t n = ::pread(static_cast<int>(file), p + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<std::int64_t>(done);
}

Status flushFileToDisk(FileHandle file) {
  if (file == kNoFile) return failureOf(EBADF);
  if (testFailsFlush(file)) return failureOf(EIO);
  if (::fsync(static_cast<int>(file)) != 0) return Status::systemFailure();
  return Status();
}

bool deleteFile(const char* path) { return ::unlink(nativePath(path).c_str()) == 0; }

namespace {

// The components of a native path, without empty ones ("a//b/" is a, b).
std::vector<std::string> componentsOf(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// A directory descriptor closed on every way out.
struct Directory {
  int fd = -1;
  Directory() = default;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  ~Directory() {
    if (fd >= 0) ::close(fd);
  }
  void reset(int next) {
    if (fd >= 0) ::close(fd);
    fd = next;
  }
};

int openRetrying(int at, const char* name, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::openat(at, name, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The directory where the name's walk starts: the root for an absolute
// name, else the working directory.
int openStart(const std::string& path) {
  return openRetrying(AT_FDCWD, !path.empty() && path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY);
}

// Steps from directory `at` into its entry `name`, which must be a real
// directory: O_NOFOLLOW makes a link in its place fail (ELOOP or ENOTDIR).
int stepInto(int at, const std::string& name) {
  int fd = openRetrying(at, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW);
  struct stat st;
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode))) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Opens the directory holding the name's last component by walking every
// component before it without following a link. False when the name is
// empty or a component is missing, not a directory or a link.
bool openParentNoFollow(const std::string& path, Directory& parent, std::string* last) {
  std::vector<std::string> parts = componentsOf(path);
  if (parts.empty()) return false;
  parent.reset(openStart(path));
  for (std::size_t i = 0; parent.fd >= 0 && i + 1 < parts.size(); ++i) parent.reset(stepInto(parent.fd, parts[i]));
  *last = parts.back();
  return parent.fd >= 0;
}

}  // namespace

bool nameCrossesLink(const char* name) {
  std::string path = nativePath(name);
  std::vector<std::string> parts = componentsOf(path);
  Directory at;
  at.reset(openStart(path));
  for (std::size_t i = 0; at.fd >= 0 && i < parts.size(); ++i) {
    struct stat st;
    if (::fstatat(at.fd, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (S_ISLNK(st.st_mode)) return true;
    if (!S_ISDIR(st.st_mode)) return false;
    at.reset(stepInto(at.fd, parts[i]));
  }
  return false;
}

Status inspectNameNoFollow(const char* name, NameFacts* facts) {
  *facts = NameFacts();
  std::string path = nativePath(name);
  std::vector<std::string> parts = componentsOf(path);
  if (parts.empty()) return Status::failure("no name");
  Directory at;
  at.reset(openStart(path));
  if (at.fd < 0) return Status::systemFailure();
  for (std::size_t i = 0; i < parts.size(); ++i) {
    struct stat st;
    if (::fstatat(at.fd, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // Nothing there, or a plain file on the way: nothing at the name.
      if (errno == ENOENT || errno == ENOTDIR) return Status();
      return Status::systemFailure();
    }
    if (S_ISLNK(st.st_mode)) {
      facts->kind = NameKind::kLink;
      return Status();
    }
    if (i + 1 == parts.size()) {
      if (S_ISREG(st.st_mode)) {
        facts->kind = NameKind::kFile;
        facts->size = static_cast<std::uint64_t>(st.st_size);
      } else {
        facts->kind = S_ISDIR(st.st_mode) ? NameKind::kDirectory : NameKind::kOther;
      }
      return Status();
    }
    if (!S_ISDIR(st.st_mode)) return Status();
    at.reset(stepInto(at.fd, parts[i]));
    if (at.fd < 0) return Status::systemFailure();
  }
  return Status();
}

namespace {

// Creates or opens the plain file at the name, never through a link, and
// cuts it to zero length. O_NOFOLLOW refuses a link as the last component,
// a dangling one too, so O_CREAT never creates a link's target; O_NONBLOCK
// keeps a planted pipe from holding the open; anything but a plain file is
// refused before it is cut. With `exclusive`, the file is locked as
// openFileForExclusiveUpdate locks archives before it is cut, so one that another
// process holds stays whole.
FileHandle createPlainFile(const char* name, int access, bool exclusive) {
  Directory parent;
  std::string last;
  if (!openParentNoFollow(nativePath(name), parent, &last)) return kNoFile;
  int fd = openRetrying(parent.fd, last.c_str(), access | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return kNoFile;
  struct stat st;
  int flags = ::fcntl(fd, F_GETFL);
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && flags >= 0 &&
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0 &&
            !(exclusive && ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) &&
            // A new file is empty already; cutting it anyway makes ext4 write
            // the whole file back when it is closed.
            ((::fstat(fd, &st) == 0 && st.st_size == 0) || ::ftruncate(fd, 0) == 0);
  if (!ok) {
    ::close(fd);
    return kNoFile;
  }
  return static_cast<FileHandle>(fd);
}

}  // namespace

FileHandle createFileNoFollow(const char* name) { return createPlainFile(name, O_WRONLY, false); }

FileHandle createArchiveFile(const char* name) { return createPlainFile(name, O_RDWR, true); }

namespace {

// What lies at the entry `name` of the directory open as `at`, as itself.
PlainFileOpen kindAt(int at, const char* name, struct stat* st, Status* why) {
  if (::fstatat(at, name, st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return PlainFileOpen::kMissing;
    if (why) *why = Status::systemFailure();
    return PlainFileOpen::kFailed;
  }
  if (S_ISLNK(st->st_mode)) return PlainFileOpen::kLink;
  if (S_ISDIR(st->st_mode)) return PlainFileOpen::kDirectory;
  if (!S_ISREG(st->st_mode)) return PlainFileOpen::kNotPlain;
  return PlainFileOpen::kOpened;
}

}  // namespace

PlainFileOpen openPlainFileNoFollow(const char* name, File* file, Status* why) {
  file->reset();
  std::string path = nativePath(name);
  std::vector<std::string> parts = componentsOf(path);
  if (parts.empty()) return PlainFileOpen::kMissing;
  Directory at;
  at.reset(openStart(path));
  if (at.fd < 0) {
    if (why) *why = Status::systemFailure();
    return PlainFileOpen::kFailed;
  }
  struct stat st;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    PlainFileOpen kind = kindAt(at.fd, parts[i].c_str(), &st, why);
    if (kind == PlainFileOpen::kLink || kind == PlainFileOpen::kFailed) return kind;
    if (kind != PlainFileOpen::kDirectory) return PlainFileOpen::kMissing;
    at.reset(stepInto(at.fd, parts[i]));
    if (at.fd < 0) {
      if (why) *why = Status::systemFailure();
      return PlainFileOpen::kFailed;
    }
  }
  PlainFileOpen kind = kindAt(at.fd, parts.back().c_str(), &st, why);
  if (kind != PlainFileOpen::kOpened) return kind;
  // O_NOFOLLOW and O_NONBLOCK: a link or a pipe put in the file's place
  // since the look above is refused, not followed or waited on.
  int fd = openRetrying(at.fd, parts.back().c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ELOOP) return PlainFileOpen::kLink;
    if (errno == ENOENT) return PlainFileOpen::kMissing;
    if (why) *why = Status::systemFailure();
    return PlainFileOpen::kFailed;
  }
  File opened(static_cast<FileHandle>(fd));
  if (::fstat(fd, &st) != 0) {
    if (why) *why = Status::systemFailure();
    return PlainFileOpen::kFailed;
  }
  if (S_ISDIR(st.st_mode)) return PlainFileOpen::kDirectory;
  if (!S_ISREG(st.st_mode)) return PlainFileOpen::kNotPlain;
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    if (why) *why = Status::systemFailure();
    return PlainFileOpen::kFailed;
  }
  // Read once from start to end: the system may read further ahead.
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  *file = std::move(opened);
  return PlainFileOpen::kOpened;
}

bool createDirectoryNoFollow(const char* name) {
  Directory parent;
  std::string last;
  if (!openParentNoFollow(nativePath(name), parent, &last)) return false;
  ::mkdirat(parent.fd, last.c_str(), 0755);
  struct stat st;
  return ::fstatat(parent.fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

bool deleteFileNoFollow(const char* name) {
  Directory parent;
  std::string last;
  if (!openParentNoFollow(nativePath(name), parent, &last)) return false;
  // unlinkat never follows a last-component link, but the contract is that
  // a link is left alone rather than removed in place of the file.
  struct stat st;
  if (::fstatat(parent.fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISLNK(st.st_mode) || S_ISDIR(st.st_mode))
    return false;
  return ::unlinkat(parent.fd, last.c_str(), 0) == 0;
}

namespace {

// Removes the entry `name` of the directory open as `at`: a plain file, or a
// real directory after everything in it. Never opens or removes a link;
// `shown` is the entry's name for the reason.
Status removeEntryNoFollow(int at, const std::string& name, const std::string& shown, int depth) {
  struct stat st;
  if (::fstatat(at, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return Status::systemFailure(shown + " cannot be examined");
  if (S_ISLNK(st.st_mode)) return Status::failure("a link lies inside it: " + shown);
  if (S_ISREG(st.st_mode)) {
    if (::unlinkat(at, name.c_str(), 0) != 0) return Status::systemFailure(shown + " cannot be removed");
    return Status();
  }
  if (!S_ISDIR(st.st_mode)) return Status::failure(shown + " is neither a plain file nor a directory");
  if (depth >= kMaxRemovedDepth) return Status::failure(shown + " is nested too deep");
  // O_NOFOLLOW: a link put in the directory's place since the look above
  // makes the open fail.
  Directory directory;
  directory.reset(openRetrying(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW));
  if (directory.fd < 0) return Status::systemFailure(shown + " cannot be opened");
  // The names first, then the removals: a directory read while it changes
  // may pass entries over.
  std::vector<std::string> names;
  {
    int listed = ::dup(directory.fd);
    DIR* list = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!list) {
      Status failed = Status::systemFailure(shown + " cannot be read");
      if (listed >= 0) ::close(listed);
      return failed;
    }
    while (struct dirent* entry = ::readdir(list)) {
      std::string entryName = entry->d_name;
      if (entryName != "." && entryName != "..") names.push_back(entryName);
    }
    ::closedir(list);
  }
  for (const std::string& entryName : names) {
    Status removed = removeEntryNoFollow(directory.fd, entryName, shown + "/" + entryName, depth + 1);
    if (!removed.ok()) return removed;
  }
  if (::unlinkat(at, name.c_str(), AT_REMOVEDIR) != 0) return Status::systemFailure(shown + " cannot be removed");
  return Status();
}

}  // namespace

Status removeTreeNoFollow(const char* name) {
  Directory parent;
  std::string last;
  std::string path = nativePath(name);
  if (!openParentNoFollow(path, parent, &last)) {
    if (errno == ENOENT) return Status();
    return Status::failure("a link, a file or nothing lies on its way");
  }
  struct stat st;
  if (::fstatat(parent.fd, last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return Status();
    return Status::systemFailure(path + " cannot be examined");
  }
  if (S_ISLNK(st.st_mode)) return Status::failure("a link lies in its place");
  return removeEntryNoFollow(parent.fd, last, path, 0);
}

bool pathExists(const char* path) { return ::access(nativePath(path).c_str(), F_OK) == 0; }

bool isDirectory(const char* path) {
  struct stat st;
  return ::stat(nativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void createDirectory(const char* path) { ::mkdir(nativePath(path).c_str(), 0755); }

Status makeRunnable(const char* path) {
  // Opened without following a link, so a link swapped in at the name
  // never lends the mode to what it points at.
  int fd = ::open(nativePath(path).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Status::systemFailure(std::string(path) + " cannot be opened");
  struct stat st;
  Status result;
  if (::fstat(fd, &st) != 0) {
    result = Status::systemFailure(std::string(path) + " cannot be read");
  } else if (!S_ISREG(st.st_mode)) {
    result = Status::failure(std::string(path) + " is no plain file");
  } else if (::fchmod(fd, 0755) != 0) {
    result = Status::systemFailure(std::string(path) + " cannot be made runnable");
  }
  ::close(fd);
  return result;
}

Status copyFileReplacing(const char* from, const char* to) {
  File in(openFileForReading(from));
  if (!in) return Status::systemFailure(std::string(from) + " cannot be read");
  // A replaced file keeps its own permissions (a client that could be run
  // stays runnable); a new one takes the source's.
  struct stat targetBefore;
  bool replacing = ::stat(nativePath(to).c_str(), &targetBefore) == 0;
  File out(createFile(to));
  if (!out) return Status::systemFailure(std::string(to) + " cannot be created");
  char buffer[1 << 16];
  for (std::uint64_t offset = 0;;) {
    std::int64_t n = readFileAt(in.get(), offset, buffer, sizeof buffer);
    if (n < 0) return Status::systemFailure(std::string(from) + " cannot be read");
    if (n == 0) break;
    Status written = writeFileAt(out.get(), offset, buffer, static_cast<std::size_t>(n));
    if (!written.ok()) return written.withContext(std::string(to) + " cannot be written");
    offset += static_cast<std::uint64_t>(n);
  }
  struct stat st;
  if (!replacing && ::fstat(static_cast<int>(in.get()), &st) == 0)
    ::fchmod(static_cast<int>(out.get()), st.st_mode & 07777);
  // close() is where some file systems report a write that failed late.
  if (::close(static_cast<int>(out.release())) != 0)
    return Status::systemFailure(std::string(to) + " cannot be written");
  return Status();
}

// The directory part of a native path, "." when it has none.
static std::string directoryOf(const std::string& path) {
  std::size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) return ".";
  return cut == 0 ? "/" : path.substr(0, cut);
}

Status replaceFileAtomicallyWithReason(const char* from, const char* to) {
  if (testFailsReplace(from, to)) return failureOf(EIO);
  std::string source = nativePath(from);
  std::string target = nativePath(to);
  // The new file takes the permissions of the one it replaces, as a copy
  // over it would: a client that could be run stays runnable.
  struct stat old;
  if (::stat(target.c_str(), &old) == 0) ::chmod(source.c_str(), old.st_mode & 07777);
  int data = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (data < 0) return Status::systemFailure();
  if (::fsync(data) != 0) {
    Status failed = Status::systemFailure();
    ::close(data);
    return failed;
  }
  ::close(data);
  if (::rename(source.c_str(), target.c_str()) != 0) return Status::systemFailure();
  // The rename itself lives in the directory: flush it too, so that after a
  // power loss the name refers to the new file.
  int dir = ::open(directoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return Status();
}

}  // namespace platform
