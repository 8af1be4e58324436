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
#include <vector>

#include "platform/status.h"

namespace platform {

using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// The path as the system wants it ("\" becomes "/" on Linux).
std::string nativePath(const char* path);

// fopen with the path translated; mode as for fopen ("rb", "r+b", "wb", ...).
std::FILE* openStdioFile(const char* path, const char* mode);

// An existing file opened for exclusive update (an archive, a patch
// package, a server file being replaced): read and write access, other
// processes may only read it; the file must exist already.
FileHandle openFileForExclusiveUpdate(const char* path);
// A new archive file: creates it, or cuts a stale one of that name to zero
// length, and holds it as openFileForExclusiveUpdate does. The file is taken
// before it is cut, so one that another process holds (a second launcher or tool that
// picked the same name for its own new archive) is left whole and kNoFile
// returned. Never through a link, as createFileNoFollow below.
FileHandle createArchiveFile(const char* path);
// Creates the file or cuts it to zero length; write access.
FileHandle createFile(const char* path);
// An existing file, read access only.
FileHandle openFileForReading(const char* path);
void closeFile(FileHandle file);

// An open file that closes itself: owns one FileHandle (or none) and closes
// it when it goes out of scope or is given another. Moves, never copies, so
// exactly one owner closes each file. The FileHandle calls above take
// get(); release() hands the handle on to an owner that closes it itself.
class File {
 public:
  File() = default;
  explicit File(FileHandle handle) : handle_(handle) {}
  File(File&& other) noexcept : handle_(other.release()) {}
  File& operator=(File&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { closeFile(handle_); }

  FileHandle get() const { return handle_; }
  bool isOpen() const { return handle_ != kNoFile; }
  explicit operator bool() const { return isOpen(); }
  // Gives up ownership: the handle is the caller's to close.
  FileHandle release() {
    FileHandle handle = handle_;
    handle_ = kNoFile;
    return handle;
  }
  // Closes the file held (if any) and takes handle instead.
  void reset(FileHandle handle = kNoFile) {
    FileHandle old = handle_;
    handle_ = handle;
    closeFile(old);
  }

 private:
  FileHandle handle_ = kNoFile;
};

// The file's current size; false when it cannot be learnt.
bool getFileSize(FileHandle file, std::uint64_t* size);
// Failures below that carry platform::Status have the system's own text for
// the call that failed as their reason ("No space left on device"), taken
// at that call; callers put the file's name or their step in front.

// Writes all of data at offset; a failure on any error or short write.
Status writeFileAt(FileHandle file, std::uint64_t offset, const void* data, std::size_t size);
// Reads up to size bytes at offset; the count read, or -1 on error.
std::int64_t readFileAt(FileHandle file, std::uint64_t offset, void* data, std::size_t size);
// Makes what was written reach the disk (FlushFileBuffers / fsync).
Status flushFileToDisk(FileHandle file);

// Deletes a file; false when it was not there or could not be deleted.
bool deleteFile(const char* path);

// Names that the game folder's owner could have redirected.
//
// The installation is often writable by the player's account while the
// launcher runs with administrator rights, so any symbolic link, junction or
// other reparse point inside it may point anywhere on the disk. The calls
// below never pass through one: each component of the name is checked as it
// is, not as what it points to. Names are meant to be relative to the
// working directory (the installation), whose own place is not checked; an
// absolute name is checked from below its root, so a link above the
// installation makes it fail. "\" and "/" separate. Hard links are not links
// in this sense: they are the file.
//
// Under Wine a Unix symbolic link in the prefix is caught where Wine lets it
// be seen: a link to a directory shows as a reparse point, a link to a file
// by where its handle really leads. A dangling Unix link Wine hides
// completely (nameCrossesLink cannot see it), but no call here creates its
// target.

// Some existing component of the relative name (resolved from the working
// directory) is a symbolic link, junction or other reparse point; a dangling
// link counts. The walk stops at the first component that does not exist.
bool nameCrossesLink(const char* name);
// As createFile (write access, created or cut to zero length), but kNoFile
// when any component of the name is a link or reparse point, or the name is
// not a plain file (a directory, a device, a pipe); never creates a link's
// target. The directories on the way are held from the check to the open.
FileHandle createFileNoFollow(const char* name);
// What openPlainFileNoFollow found at a name.
enum class PlainFileOpen {
  kOpened,     // a plain file, now open for reading
  kMissing,    // nothing there, or a directory on the way is missing or a file
  kLink,       // the name or a directory on its way is a link or reparse point
  kDirectory,  // a directory
  kNotPlain,   // something else: a device, a pipe, a socket
  kFailed,     // the system refused; *why has its reason
};
// Opens an existing plain file for reading, never through a link: the
// directories on the way are walked as createFileNoFollow walks them and the
// last component must be a plain file itself (a pipe or device is refused
// without waiting on it). Other processes may go on reading and writing it,
// so an archive the launcher holds can be read beside it. *file holds the
// file on kOpened and nothing otherwise; *why (may be null) gets the
// system's reason on kFailed.
PlainFileOpen openPlainFileNoFollow(const char* name, File* file, Status* why);
// Creates the last component of the name as a directory unless it exists
// (the ones before it must exist). True when it is a real directory
// afterwards; false, and nothing created, when a component of the name is a
// link or reparse point or not a directory.
bool createDirectoryNoFollow(const char* name);
// Creates, one after the other, the directories a name passes through (not
// the name's own last component), each as createDirectoryNoFollow; true when
// all exist afterwards as real directories, false at the first link, file or
// failure in the way.
bool createDirectoriesOnTheWayNoFollow(const std::string& name);
// The directories a name passes through, outermost first: "a\b/c" gives "a"
// and "a\b". "\" and "/" separate; a leading separator gives no empty name.
std::vector<std::string> directoriesOnTheWay(const std::string& name);
// Deletes the file; false (nothing deleted) when a component is a link or
// reparse point, the name is a directory or the file is not there.
bool deleteFileNoFollow(const char* name);
// Removes what lies at the name, a plain file or a directory with all it
// holds, never through a link: each component on the way is checked as
// deleteFileNoFollow checks it, and inside a directory only plain files and
// real directories are removed. A link (or a reparse point, a device, a
// pipe) in the name's place or anywhere inside stops the removal there,
// nothing is removed through it and the link itself stays; the reason then
// names it ("a link lies inside it: 12.dat/sub/lnk"). Ok when nothing is
// left at the name (also when nothing was there); directories nested deeper
// than kMaxRemovedDepth are not walked (a failure).
constexpr int kMaxRemovedDepth = 256;
Status removeTreeNoFollow(const char* name);
// What lies at a name, looked at as itself: a link there (or in any
// directory on the way) is reported as a link, never followed.
enum class NameKind { kMissing, kFile, kDirectory, kLink, kOther };
struct NameFacts {
  NameKind kind = NameKind::kMissing;
  std::uint64_t size = 0;  // the file's length; 0 for any other kind
};
// Learns what lies at the name (resolved from the working directory): a
// plain file with its length, a directory, a symbolic link, junction or other
// reparse point at the name or on the way to it (a dangling link counts),
// something else (a device, a pipe), or nothing. A failure, with the
// system's reason, when the system cannot tell (access denied, say).
Status inspectNameNoFollow(const char* name, NameFacts* facts);
// True when a file or directory of that name exists (_access mode 0).
bool pathExists(const char* path);
// True when the path names an existing directory.
bool isDirectory(const char* path);
// Creates one directory; failures (it exists, a drive name) are ignored.
void createDirectory(const char* path);
// Lets the program at path be run: Linux gives the plain file there the
// mode 0755 (a download is stored without execute bits), never through a
// link; Windows runs any executable file already, so it does nothing.
Status makeRunnable(const char* path);
// Copies a file over another, replacing it (CopyFileA). The reason of a
// failure names the side that failed where the system tells it ("x.dat
// cannot be written: No space left on device"; Windows: the system's text).
Status copyFileReplacing(const char* from, const char* to);
// Puts `from` in place of `to` so that `to` is, at every moment, either the
// old file or the new one, whole: `from`'s data is flushed to disk first
// (else a power loss after the rename could leave the name on an empty
// file), and the change itself reaches the disk before this returns. A
// failure, and `to` untouched, when the flush or the rename fails.
Status replaceFileAtomicallyWithReason(const char* from, const char* to);
// The same for callers that need only the outcome.
inline bool replaceFileAtomically(const char* from, const char* to) {
  return replaceFileAtomicallyWithReason(from, to).ok();
}

// Reads the whole file into *bytes when it holds at most limit bytes; false
// when it cannot be read or is larger (nothing is read then). For the small
// records the update fetches, whose size is bounded before it is trusted.
bool readSmallFile(const char* path, std::size_t limit, std::string* bytes);

}  // namespace platform
