// The contained RAR reader on Linux: hostile archives stay in the reader's
// process, a reader that crashes, hangs or sends nonsense makes a failed
// extraction, and the reader's sandbox takes away every way out.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/linux/rar_reader/sandbox.h"
#include "platform/rar.h"
#include "platform/test_hooks.h"
#include "support/temp_dir.h"
#include "tools/rar_writer/rar_writer.h"
#include "update/rar_extract.h"

namespace fs = std::filesystem;

namespace {

class ContainedReader : public ::testing::Test {
 protected:
  void TearDown() override { platform::setRarReaderForTests(nullptr, 0); }
  TempWorkDir work;
};

TEST_F(ContainedReader, HostileArchivesAreAFailedExtraction) {
  // Found by fuzzing libarchive 3.6.2: a heap use after free and a request
  // for 2^64 bytes. In the sanitizer build the reader aborts on them; the
  // launcher's process must not notice more than a failed extraction.
  for (const char* name : {"rar5-reader-use-after-free.rar", "rar-huge-allocation.rar"}) {
    fs::copy_file(fs::path(VLM_RAR_FIXTURES) / "hostile" / name, "in.rar", fs::copy_options::overwrite_existing);
    EXPECT_FALSE(update::extractPatchArchive("in.rar", "1.dat")) << name;
    EXPECT_FALSE(fs::exists("1.dat")) << name;
  }
  // And a good archive still extracts afterwards.
  ASSERT_TRUE(writeStoredRar("good.rar", {{"1.dat", "package", false}}));
  EXPECT_TRUE(update::extractPatchArchive("good.rar", "1.dat"));
  EXPECT_EQ(readWholeFile("1.dat"), "package");
}

// Stand-ins for a reader gone wrong (a crash, a hang, a compromised
// reader's nonsense): the real reader does none of this on demand, so these
// small scripts play it, each writing the stream the case needs.
std::string writeReaderScript(const std::string& name, const std::string& body) {
  std::string path = (fs::current_path() / name).string();
  writeWholeFile(path, "#!/bin/sh\n" + body + "\n");
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

TEST_F(ContainedReader, AReaderThatFailsIsADamagedArchive) {
  ASSERT_TRUE(writeStoredRar("in.rar", {{"1.dat", "package", false}}));
  const std::string open = "printf 'O\\000\\000\\000\\000'";
  const std::string header =
      "printf 'H\\005\\000\\000\\0001.dat\\000\\000\\000\\000\\003\\000\\000\\000"
      "\\244\\201\\000\\000\\007\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000'";
  const std::string progress5 = "printf 'P\\005\\000\\000\\000\\000\\000\\000\\000'";
  // A stored entry's copy: offset, then size (the header says 7 bytes).
  auto copy = [](const std::string& offset, const std::string& size) { return "printf 'C" + offset + size + "'"; };
  const std::string at0 = "\\000\\000\\000\\000\\000\\000\\000\\000";
  const std::string beyond = "\\377\\377\\377\\377\\000\\000\\000\\000";
  const std::string seven = "\\007\\000\\000\\000\\000\\000\\000\\000";
  const std::string three = "\\003\\000\\000\\000\\000\\000\\000\\000";
  const std::string end7 = "printf 'E\\000\\000\\000\\000\\007\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000'";
  struct Case {
    const char* what;
    std::string script;
  } cases[] = {
      {"crashes before it says anything", "kill -SEGV $$"},
      {"crashes in the middle of an entry", open + "; " + header + "; " + progress5 + "; kill -SEGV $$"},
      {"stays silent", open + "; exec sleep 30"},
      {"stays silent in the middle of an entry", open + "; " + header + "; exec sleep 30"},
      {"sends a name above 1023 bytes", open + "; printf 'H\\000\\010\\000\\000'; exec sleep 30"},
      {"sends an unknown record", open + "; printf 'Q\\000\\000\\000\\000'"},
      {"sends data through the socket", open + "; " + header + "; printf 'D\\007\\000\\000\\000package'"},
      {"sends progress that goes back",
       open + "; " + header + "; " + progress5 + "; printf 'P\\004\\000\\000\\000\\000\\000\\000\\000'; exec sleep 30"},
      {"ends its entry without an end record", open + "; " + header + "; " + progress5},
      {"says it wrote what it never wrote",
       open + "; " + header +
           "; printf 'E\\000\\000\\000\\000\\007\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000'; exec sleep "
           "30"},
      {"asks for a copy from beyond the archive's end",
       open + "; " + header + "; " + copy(beyond, seven) + "; " + end7 + "; exec sleep 30"},
      {"asks for a copy of another size than its header's",
       open + "; " + header + "; " + copy(at0, three) + "; " + end7 + "; exec sleep 30"},
      {"asks for a copy twice",
       open + "; " + header + "; " + copy(at0, seven) + "; " + copy(at0, seven) + "; " + end7 + "; exec sleep 30"},
      {"ends an entry with a result the reader never gives",
       open + "; " + header +
           "; printf 'E\\012\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000\\000'; exec sleep "
           "30"},
  };
  // The stand-in itself works: a copy in place and in bounds lands in the
  // file (the archive's first seven bytes, its signature).
  platform::setRarReaderForTests(
      writeReaderScript("reader.sh", open + "; " + header + "; " + copy(at0, seven) + "; " + end7 +
                                         "; printf 'Z\\012\\000\\000\\000'; exec sleep 30")
          .c_str(),
      500);
  EXPECT_TRUE(update::extractPatchArchive("in.rar", "1.dat"));
  EXPECT_EQ(readWholeFile("1.dat"), std::string("Rar!\x1a\x07\x00", 7));
  fs::remove("1.dat");
  for (const Case& c : cases) {
    platform::setRarReaderForTests(writeReaderScript("reader.sh", c.script).c_str(), 500);
    EXPECT_FALSE(update::extractPatchArchive("in.rar", "1.dat")) << c.what;
    EXPECT_FALSE(fs::exists("1.dat")) << c.what;
  }
  platform::setRarReaderForTests((work.path() + "/no-such-reader").c_str(), 500);
  EXPECT_FALSE(update::extractPatchArchive("in.rar", "1.dat")) << "a missing reader";
}

// Takes the launcher's answer to a header from socket as the reader does:
// the descriptor that came with it, or -1 when the answer was not 'W' or
// carried none.
int receiveHandedFile(int socket) {
  char answer = 0;
  char control[CMSG_SPACE(sizeof(int))];
  struct iovec byte = {&answer, 1};
  struct msghdr message = {};
  message.msg_iov = &byte;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  if (::recvmsg(socket, &message, 0) != 1 || answer != 'W' || !CMSG_FIRSTHDR(&message)) return -1;
  int file;
  std::memcpy(&file, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof file);
  return file;
}

// A reader that is handed the package's file and then lies about what it
// wrote. A shell cannot take a descriptor from a socket, so this test
// program plays that reader itself: started with VLM_LYING_READER set, it
// does nothing else. The value is "bytes written/bytes claimed".
int playLyingReader(const char* how) {
  unsigned long wrote = 0, claimed = 0;
  if (std::sscanf(how, "%lu/%lu", &wrote, &claimed) != 2) return 2;
  auto send = [](const std::string& bytes) { return ::write(1, bytes.data(), bytes.size()) == ssize_t(bytes.size()); };
  auto le = [](std::uint64_t value, int width) {
    std::string out;
    for (int i = 0; i < width; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
    return out;
  };
  if (!send("O" + le(0, 4)) ||
      !send("H" + le(5, 4) + "1.dat" + le(0, 4) + le(3, 4) + le(0100644, 4) + le(claimed, 4) + le(0, 4) + le(0, 4)))
    return 2;
  int file = receiveHandedFile(1);
  if (file < 0) return 2;
  const std::string data(wrote, 'x');
  if (::write(file, data.data(), data.size()) != ssize_t(data.size())) return 2;
  ::close(file);
  if (!send("E" + le(0, 4) + le(claimed, 8) + le(0, 4)) || !send("Z" + le(10, 4))) return 2;
  ::pause();
  return 0;
}

const bool kPlaysLyingReader = [] {
  if (const char* how = std::getenv("VLM_LYING_READER")) _exit(playLyingReader(how));
  return false;
}();

TEST_F(ContainedReader, TheFileMustHoldWhatTheReaderSaysItWrote) {
  ASSERT_TRUE(writeStoredRar("in.rar", {{"1.dat", "package", false}}));
  platform::setRarReaderForTests(fs::read_symlink("/proc/self/exe").c_str(), 5000);
  struct Case {
    const char* how;
    bool extracts;
  } cases[] = {
      {"7/7", true},   // the stand-in itself works
      {"9/7", false},  // wrote more than it says
      {"5/7", false},  // wrote less than it says
      {"0/7", false},
  };
  for (const Case& c : cases) {
    setenv("VLM_LYING_READER", c.how, 1);
    EXPECT_EQ(update::extractPatchArchive("in.rar", "1.dat"), c.extracts) << c.how;
    EXPECT_EQ(fs::exists("1.dat"), c.extracts) << c.how;
    unsetenv("VLM_LYING_READER");
    fs::remove("1.dat");
  }
}

// Runs body in a child process inside the sandbox; the child's exit code.
int inSandbox(int (*body)()) {
  pid_t child = fork();
  if (child == 0) {
    std::string why;
    _exit(platform::enterReaderSandbox(&why) ? body() : 100);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
}

// Sends fd over socket as the launcher hands the reader a file; the result
// of sendmsg.
ssize_t sendDescriptor(int socket, int fd) {
  char answer = 'W';
  char control[CMSG_SPACE(sizeof(int))] = {};
  struct iovec byte = {&answer, 1};
  struct msghdr message = {};
  message.msg_iov = &byte;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  struct cmsghdr* attached = CMSG_FIRSTHDR(&message);
  attached->cmsg_level = SOL_SOCKET;
  attached->cmsg_type = SCM_RIGHTS;
  attached->cmsg_len = CMSG_LEN(sizeof fd);
  std::memcpy(CMSG_DATA(attached), &fd, sizeof fd);
  return ::sendmsg(socket, &message, MSG_NOSIGNAL);
}

// The sockets and the file the two cases below share with their child.
int sandboxSockets[2] = {-1, -1};
int handedFile = -1;

int takeAndWriteAHandedFile() {
  int file = receiveHandedFile(sandboxSockets[1]);
  if (file < 0) return 1;
  return ::pwrite(file, "written", 7, 0) == 7 && ::close(file) == 0 ? 0 : 1;
}

int handADescriptorOn() { return sendDescriptor(sandboxSockets[1], 0) < 0 && errno == EPERM ? 0 : 1; }

TEST(ReaderSandbox, OnlyReadingAndWritingWhatItWasGivenRemain) {
  TempWorkDir work;
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sandboxSockets), 0);
  handedFile = ::open("handed", O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(handedFile, 0);
  ASSERT_EQ(sendDescriptor(sandboxSockets[0], handedFile), 1);

  struct Case {
    const char* what;
    int (*body)();
  } cases[] = {
      {"open a file", [] { return ::open("/etc/hostname", O_RDONLY) < 0 && errno == EPERM ? 0 : 1; }},
      {"create a file", [] { return ::open("/tmp/vlm-sandbox-escape", O_CREAT | O_WRONLY, 0600) < 0 ? 0 : 1; }},
      {"open a socket", [] { return ::socket(AF_INET, SOCK_STREAM, 0) < 0 && errno == EPERM ? 0 : 1; }},
      {"start a program",
       [] {
         char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
         execv("/bin/true", argv);
         return errno == EPERM ? 0 : 1;
       }},
      {"signal another process", [] { return ::kill(1, 0) < 0 && errno == EPERM ? 0 : 1; }},
      {"write its output", [] { return ::write(2, "", 0) == 0 ? 0 : 1; }},
      {"allocate memory", [] { return new char[1 << 20] != nullptr ? 0 : 1; }},
      {"take a file the launcher hands it and write into it", takeAndWriteAHandedFile},
      {"hand a descriptor on", handADescriptorOn},
  };
  for (const Case& c : cases) EXPECT_EQ(inSandbox(c.body), 0) << c.what;
  EXPECT_FALSE(fs::exists("/tmp/vlm-sandbox-escape"));
  EXPECT_EQ(readWholeFile("handed"), "written");
  ::close(handedFile);
  ::close(sandboxSockets[0]);
  ::close(sandboxSockets[1]);
}

}  // namespace
