// The UnRAR library's four calls on Linux, over the contained reader: each
// archive is read by "vlm-rar-reader" (beside the launcher), a process of its
// own that can do little more than read the archive, talk over its socket
// and write into the files the launcher hands it (see
// platform/linux/rar_reader/protocol.h). A bug in the archive library,
// reached by a hostile archive, stays in that process; the launcher checks
// every length it receives, decides and creates every file itself, and
// counts a reader that crashes, breaks off or stays silent past the time
// limit as a damaged archive.
//
// What the calls give, as the library would:
//  - FileName: the stored name; Flags: 0xE0 for a directory, 0x04 when the
//    entry is encrypted; HostOS: Unix, FileAttr: the entry's mode bits, so a
//    symbolic link shows as S_IFLNK and can be recognised by the caller;
//    FileCRC: the checksum stored in the entry's header.
//  - RAR_EXTRACT writes regular files only, never through a link: every
//    directory on the way and the file itself are created here without
//    following one, and the reader gets only the new file's descriptor. A
//    directory entry creates the directory; anything else (links, devices)
//    is never created.
//  - Every file is checked against the CRC-32 and size in its own header,
//    as the library does (the reader does it, whatever libarchive checks
//    itself). The data never passes through here, so the reader's word on
//    it is all there is: that is no loss, since the only thing that can make
//    the reader lie is the archive, and an archive can put any bytes in an
//    entry with a checksum to match. The check is there for damage, and an
//    honest reader finds that. What the launcher keeps to itself is what the
//    reader could not otherwise reach: which file is written (one new, empty
//    file per entry, made here), that it holds exactly the bytes the reader
//    says it wrote, and that nothing writes into any of them once
//    rarCloseArchive has returned (the reader is killed and reaped there).
//  - RAR_SKIP passes over the entry's data without reading it; RAR_TEST
//    reads and checks it.
//
// Results:
//  - RAROpenArchiveEx: ERAR_EOPEN when the file is not there or the reader
//    cannot be started, else ERAR_BAD_ARCHIVE when it is not a RAR archive.
//  - RARReadHeaderEx: ERAR_END_ARCHIVE at the end; ERAR_BAD_DATA when the
//    next header cannot be read (damaged, cut short, the reader failed) and
//    for every call after that.
//  - RARProcessFile with RAR_EXTRACT: ERAR_BAD_DATA when the data cannot be
//    read whole, its checksum or size does not match, or its header cannot
//    be found; ERAR_MISSING_PASSWORD for an encrypted entry; ERAR_ECREATE
//    when the file cannot be created (a link or a directory in its place or
//    on its way); ERAR_EWRITE when it cannot be written. In every one of
//    these cases nothing is left under the destination name. RAR_SKIP: the
//    entry's own result.
#include "platform/rar.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/executable.h"
#include "platform/file.h"
#include "platform/linux/rar_reader/protocol.h"
#include "platform/status.h"
#include "platform/test_hooks.h"

extern char** environ;

namespace platform {

namespace {

// The reader beside the running executable. Test builds may name another,
// and know where the build put the real one, for test programs that lie
// elsewhere in the build tree.
std::string readerPath() {
#if defined(VLM_TEST_HOOKS)
  std::string forTests = rarReaderPathForTests();
  if (!forTests.empty()) return forTests;
#endif
  std::string exe = executablePath();
  std::string beside = exe.substr(0, exe.find_last_of('/') + 1) + kRarReaderName;
#if defined(VLM_TEST_HOOKS) && defined(VLM_RAR_READER_BUILD_PATH)
  if (!pathExists(beside.c_str())) return VLM_RAR_READER_BUILD_PATH;
#endif
  return beside;
}

}  // namespace

std::string rarReaderProblem() {
  const std::string program = readerPath();
  if (::access(program.c_str(), X_OK) == 0) return "";
  return std::string(kRarReaderName) + " is missing beside this program (" + program + ")";
}

namespace {

unsigned readerIdleLimitMs() {
#if defined(VLM_TEST_HOOKS)
  if (unsigned forTests = rarReaderIdleLimitMsForTests()) return forTests;
#endif
  return kDefaultRarReaderIdleLimitMs;
}

struct RarArchive {
  pid_t reader = -1;
  int channel = -1;        // the launcher's end of the reader's socket
  File archiveFile;        // the archive, which stored entries are copied from
  std::uint64_t size = 0;  // the current entry's size, as its header said
  unsigned idleLimitMs = kDefaultRarReaderIdleLimitMs;
  bool broken = false;   // the stream failed: every later call fails
  bool inEntry = false;  // a header was read; the answer to it is still to be given
  mode_t mode = 0;
  bool encrypted = false;
  std::string name;
  std::string systemError;  // rarSystemError's text for the last rarProcessFile
};

// Reads exactly size bytes of the reader's records, waiting at most the idle
// limit for each piece; false (and the archive broken) on an end, an error
// or silence.
bool readExactly(RarArchive& archive, void* data, std::size_t size) {
  unsigned char* p = static_cast<unsigned char*>(data);
  std::size_t done = 0;
  while (!archive.broken && done < size) {
    struct pollfd wait = {archive.channel, POLLIN, 0};
    int ready = poll(&wait, 1, static_cast<int>(archive.idleLimitMs));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) {
      std::fprintf(stderr, "vlm-rar-reader: no answer within %u ms\n", archive.idleLimitMs);
      archive.broken = true;
      break;
    }
    ssize_t n = ::read(archive.channel, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      archive.broken = true;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  return !archive.broken;
}

bool readU32(RarArchive& archive, std::uint32_t* value) {
  unsigned char bytes[4];
  if (!readExactly(archive, bytes, sizeof bytes)) return false;
  *value = static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
  return true;
}

bool readU64(RarArchive& archive, std::uint64_t* value) {
  std::uint32_t low = 0, high = 0;
  if (!readU32(archive, &low) || !readU32(archive, &high)) return false;
  *value = static_cast<std::uint64_t>(high) << 32 | low;
  return true;
}

bool readKind(RarArchive& archive, char* kind) { return readExactly(archive, kind, 1); }

// Answers the header just read; file, when given, goes along with the
// answer. The answer never waits: a reader that does not take its answers
// has broken the stream.
bool sendAnswer(RarArchive& archive, char answer, FileHandle file) {
  archive.inEntry = false;
  if (archive.broken) return false;
  struct iovec byte = {&answer, 1};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  std::memset(control, 0, sizeof control);
  struct msghdr message = {};
  message.msg_iov = &byte;
  message.msg_iovlen = 1;
  if (file != kNoFile) {
    int fd = static_cast<int>(file);
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* attached = CMSG_FIRSTHDR(&message);
    attached->cmsg_level = SOL_SOCKET;
    attached->cmsg_type = SCM_RIGHTS;
    attached->cmsg_len = CMSG_LEN(sizeof fd);
    std::memcpy(CMSG_DATA(attached), &fd, sizeof fd);
  }
  ssize_t sent;
  do {
    sent = ::sendmsg(archive.channel, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent != 1) archive.broken = true;
  return !archive.broken;
}

// Copies size bytes of the archive from offset into the start of out,
// within the kernel where it can; false on any error or a short archive.
bool copyFromArchive(int archiveFd, std::uint64_t offset, int out, std::uint64_t size) {
  off_t from = static_cast<off_t>(offset), to = 0;
  std::vector<char> buffer;  // only where the system cannot copy by itself
  while (size > 0) {
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size, 1u << 30));
    ssize_t n = ::copy_file_range(archiveFd, &from, out, &to, piece, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
      // A system or file system without the call: through a buffer.
      buffer.resize(kRarReaderBlock);
      std::size_t length = std::min(piece, buffer.size());
      ssize_t got = ::pread(archiveFd, buffer.data(), length, from);
      if (got <= 0) {
        if (got == 0) errno = EIO;  // the archive ends inside the data
        return false;
      }
      ssize_t put = ::pwrite(out, buffer.data(), static_cast<std::size_t>(got), to);
      if (put != got) {
        if (put >= 0) errno = EIO;  // a short write: the system gave no error
        return false;
      }
      n = got;
      from += got;
      to += got;
    } else if (n <= 0) {
      if (n == 0) errno = EIO;  // the archive ends inside the data
      return false;
    }
    size -= static_cast<std::uint64_t>(n);
  }
  return true;
}

// The reader's 'C' record: copies the stored entry's checked bytes into out.
// False (the stream broken) when the record is out of place or out of
// bounds; *copied false when the copy itself failed.
bool copyStoredEntry(RarArchive& archive, FileHandle out, bool* copied) {
  std::uint64_t offset = 0, size = 0, archiveSize = 0;
  if (!readU64(archive, &offset) || !readU64(archive, &size)) return false;
  if (out == kNoFile || size != archive.size || !getFileSize(archive.archiveFile.get(), &archiveSize) ||
      offset > archiveSize || size > archiveSize - offset) {
    std::fprintf(stderr, "vlm-rar-reader: asked for a copy out of place or out of bounds\n");
    return false;
  }
  *copied = copyFromArchive(static_cast<int>(archive.archiveFile.get()), offset, static_cast<int>(out), size);
  if (!*copied) {
    archive.systemError = lastSystemError();
    std::fprintf(stderr, "vlm-rar-reader: the entry could not be copied: %s\n", archive.systemError.c_str());
  }
  return true;
}

// Waits for the end of the entry just answered; progress records on the way
// only show the reader is at work, and a stored entry's checked bytes are
// copied into out (the entry's file, when it has one). The entry's result,
// and in *written the bytes the reader says the file holds; ERAR_BAD_DATA
// when the stream failed.
int awaitEntryEnd(RarArchive& archive, std::uint64_t* written, FileHandle out = kNoFile) {
  std::uint64_t progress = 0;
  bool copyAsked = false, copied = true;
  for (;;) {
    char kind = 0;
    if (!readKind(archive, &kind)) return static_cast<int>(kRarBadData);
    if (kind == kReaderCopy) {
      if (copyAsked || !copyStoredEntry(archive, out, &copied)) break;
      copyAsked = true;
      continue;
    }
    if (kind == kReaderProgress) {
      std::uint64_t done = 0;
      if (!readU64(archive, &done)) return static_cast<int>(kRarBadData);
      if (done < progress) break;  // going back: nonsense
      progress = done;
      continue;
    }
    std::uint32_t result = 0, systemError = 0;
    if (kind != kReaderEntryEnd || !readU32(archive, &result) || !readU64(archive, written) ||
        !readU32(archive, &systemError))
      break;
    if (result == kRarSuccess && !copied) return static_cast<int>(kRarWriteError);
    // The reader's own write failed: its error number, as the system words it.
    if (result == kRarWriteError && systemError > 0 && systemError <= kRarReaderMaxSystemError)
      archive.systemError = std::strerror(static_cast<int>(systemError));
    if (result == kRarSuccess || result == kRarBadData || result == kRarMissingPassword || result == kRarWriteError)
      return static_cast<int>(result);
    break;
  }
  archive.broken = true;
  return static_cast<int>(kRarBadData);
}

// Answers the header just read with skip or test and waits for the entry's
// end; its result.
int finishEntry(RarArchive& archive, char answer) {
  std::uint64_t written = 0;
  if (!sendAnswer(archive, answer, kNoFile)) return static_cast<int>(kRarBadData);
  int result = awaitEntryEnd(archive, &written);
  if (written != 0) {  // it had no file to write into
    archive.broken = true;
    return static_cast<int>(kRarBadData);
  }
  return result;
}

void stopReader(RarArchive& archive) {
  if (archive.channel >= 0) ::close(archive.channel);
  archive.channel = -1;
  if (archive.reader > 0) {
    kill(archive.reader, SIGKILL);
    while (waitpid(archive.reader, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  archive.reader = -1;
}

// Starts the reader on the archive open as archiveFd; false when it cannot.
bool startReader(RarArchive& archive, int archiveFd) {
  int sockets[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, archiveFd, 0);
  posix_spawn_file_actions_adddup2(&actions, sockets[1], 1);
  std::string program = readerPath();
  char* argv[] = {const_cast<char*>(kRarReaderName), nullptr};
  int spawned = posix_spawn(&archive.reader, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(sockets[1]);
  if (spawned != 0) {
    std::fprintf(stderr, "vlm-rar-reader: cannot start %s: %s\n", program.c_str(), std::strerror(spawned));
    ::close(sockets[0]);
    archive.reader = -1;
    return false;
  }
  archive.channel = sockets[0];
  return true;
}

// Has the reader write the current entry's data into a new file at path.
int writeEntryData(RarArchive& archive, const std::string& path) {
  FileHandle out = createDirectoriesOnTheWayNoFollow(path) ? createFileNoFollow(path.c_str()) : kNoFile;
  if (out == kNoFile) {
    archive.systemError = lastSystemError();
    finishEntry(archive, kLauncherSkip);
    return archive.broken ? static_cast<int>(kRarBadData) : static_cast<int>(kRarCreateError);
  }
  std::uint64_t written = 0;
  int result =
      sendAnswer(archive, kLauncherWrite, out) ? awaitEntryEnd(archive, &written, out) : static_cast<int>(kRarBadData);
  // The file holds what the reader says it wrote, no more and no less.
  std::uint64_t size = 0;
  if (result == static_cast<int>(kRarSuccess) && (!getFileSize(out, &size) || size != written)) {
    std::fprintf(stderr, "vlm-rar-reader: said it wrote %llu bytes, the file holds %llu\n",
                 static_cast<unsigned long long>(written), static_cast<unsigned long long>(size));
    result = static_cast<int>(kRarBadData);
  }
  closeFile(out);
  // Nothing half-written or unchecked stays under the name.
  if (result != static_cast<int>(kRarSuccess)) deleteFileNoFollow(path.c_str());
  return result;
}

}  // namespace

RarHandle rarOpenArchiveEx(RAROpenArchiveDataEx* data) {
  if (!data) return nullptr;
  data->OpenResult = kRarOpenError;
  if (!data->ArcName) return nullptr;
  std::string path = nativePath(data->ArcName);
  int archiveFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (archiveFd < 0) return nullptr;
  RarArchive* archive = new RarArchive;
  archive->idleLimitMs = readerIdleLimitMs();
  bool started = startReader(*archive, archiveFd);
  archive->archiveFile.reset(static_cast<FileHandle>(archiveFd));
  char kind = 0;
  std::uint32_t result = kRarBadArchive;
  if (!started || !readKind(*archive, &kind) || kind != kReaderOpen || !readU32(*archive, &result) ||
      result != kRarSuccess) {
    data->OpenResult = started ? (result == kRarSuccess ? kRarBadArchive : result) : kRarOpenError;
    stopReader(*archive);
    delete archive;
    return nullptr;
  }
  data->OpenResult = kRarSuccess;
  return archive;
}

int rarReadHeaderEx(RarHandle handle, RARHeaderDataEx* header) {
  RarArchive* archive = static_cast<RarArchive*>(handle);
  if (!archive || !header) return static_cast<int>(kRarBadArchive);
  if (archive->inEntry) finishEntry(*archive, kLauncherSkip);
  if (archive->broken) return static_cast<int>(kRarBadData);
  char kind = 0;
  std::uint32_t value = 0;
  if (!readKind(*archive, &kind) || !readU32(*archive, &value)) return static_cast<int>(kRarBadData);
  if (kind == kReaderArchiveEnd) {
    archive->broken = true;  // nothing follows an end
    return value == kRarSuccess ? static_cast<int>(kRarBadData) : static_cast<int>(value);
  }
  std::uint32_t fields[6];
  if (kind != kReaderHeader || value > kRarReaderMaxName) {
    archive->broken = true;
    return static_cast<int>(kRarBadData);
  }
  std::string name(value, '\0');
  if ((value && !readExactly(*archive, &name[0], value)) ||
      !readExactly(*archive, fields, sizeof fields))  // flags, host, attributes, size low, size high, CRC
    return static_cast<int>(kRarBadData);
  for (std::uint32_t& field : fields) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&field);
    field = static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
            static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  }
  name.resize(std::strlen(name.c_str()));  // a zero inside the name ends it, as in the library's record
  std::memset(header->FileName, 0, sizeof header->FileName);
  std::memset(header->FileNameW, 0, sizeof header->FileNameW);
  std::memcpy(header->FileName, name.data(), name.size());
  for (std::size_t i = 0; i < name.size(); ++i) header->FileNameW[i] = static_cast<unsigned char>(name[i]);
  header->Flags = fields[0] & (kRarFlagDirectoryMask | kRarFlagEncrypted);
  header->HostOS = kRarHostUnix;
  header->FileAttr = fields[2];
  header->UnpSize = fields[3];
  header->UnpSizeHigh = fields[4];
  header->FileCRC = fields[5];
  archive->inEntry = true;
  archive->size = static_cast<std::uint64_t>(fields[4]) << 32 | fields[3];
  archive->mode = static_cast<mode_t>(fields[2]);
  archive->encrypted = (fields[0] & kRarFlagEncrypted) != 0;
  archive->name = name;
  return static_cast<int>(kRarSuccess);
}

int rarProcessFile(RarHandle handle, int operation, const char* destPath, const char* destName) {
  RarArchive* archive = static_cast<RarArchive*>(handle);
  if (!archive || !archive->inEntry) return static_cast<int>(kRarBadArchive);
  archive->systemError.clear();
  if (operation == kRarTest) return finishEntry(*archive, kLauncherTest);
  if (operation != kRarExtract) return finishEntry(*archive, kLauncherSkip);

  std::string target;
  if (destName && *destName) {
    target = destName;
  } else {
    target = destPath && *destPath ? std::string(destPath) + "/" : std::string();
    target += archive->name;
  }
  if (S_ISDIR(archive->mode)) {
    int result = finishEntry(*archive, kLauncherSkip);
    if (result != static_cast<int>(kRarSuccess)) return result;
    if (createDirectoriesOnTheWayNoFollow(target) && createDirectoryNoFollow(target.c_str()))
      return static_cast<int>(kRarSuccess);
    archive->systemError = lastSystemError();
    return static_cast<int>(kRarCreateError);
  }
  if (!S_ISREG(archive->mode) || archive->encrypted) {
    // Links and special files are never created; an encrypted entry ends
    // with its own result.
    return finishEntry(*archive, kLauncherSkip);
  }
  return writeEntryData(*archive, target);
}

std::string rarSystemError(RarHandle handle) {
  RarArchive* archive = static_cast<RarArchive*>(handle);
  return archive ? archive->systemError : std::string();
}

int rarCloseArchive(RarHandle handle) {
  RarArchive* archive = static_cast<RarArchive*>(handle);
  if (!archive) return static_cast<int>(kRarBadArchive);
  stopReader(*archive);
  delete archive;
  return static_cast<int>(kRarSuccess);
}

}  // namespace platform
