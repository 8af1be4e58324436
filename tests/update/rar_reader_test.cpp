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
#include <filesystem>
#include <string>

#include "platform/linux/rar_reader/sandbox.h"
#include "platform/rar.h"
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
    EXPECT_FALSE(extractPatchArchive("in.rar", "1.dat")) << name;
    EXPECT_FALSE(fs::exists("1.dat")) << name;
  }
  // And a good archive still extracts afterwards.
  ASSERT_TRUE(writeStoredRar("good.rar", {{"1.dat", "package", false}}));
  EXPECT_TRUE(extractPatchArchive("good.rar", "1.dat"));
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
  struct Case {
    const char* what;
    std::string script;
  } cases[] = {
      {"crashes before it says anything", "kill -SEGV $$"},
      {"crashes in the middle of an entry",
       open + "; " + header + "; printf 'D\\007\\000\\000\\000pac'; kill -SEGV $$"},
      {"stays silent", open + "; exec sleep 30"},
      {"stays silent in the middle of an entry", open + "; " + header + "; exec sleep 30"},
      {"sends a name above 1023 bytes", open + "; printf 'H\\000\\010\\000\\000'; exec sleep 30"},
      {"sends a data record above 1 MiB", open + "; " + header + "; printf 'D\\001\\000\\020\\000'; exec sleep 30"},
      {"sends an unknown record", open + "; printf 'Q\\000\\000\\000\\000'"},
      {"ends its data without an end record", open + "; " + header + "; printf 'D\\007\\000\\000\\000package'"},
  };
  for (const Case& c : cases) {
    platform::setRarReaderForTests(writeReaderScript("reader.sh", c.script).c_str(), 500);
    EXPECT_FALSE(extractPatchArchive("in.rar", "1.dat")) << c.what;
    EXPECT_FALSE(fs::exists("1.dat")) << c.what;
  }
  platform::setRarReaderForTests((work.path() + "/no-such-reader").c_str(), 500);
  EXPECT_FALSE(extractPatchArchive("in.rar", "1.dat")) << "a missing reader";
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

TEST(ReaderSandbox, OnlyReadingAndWritingWhatItWasGivenRemain) {
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
  };
  for (const Case& c : cases) EXPECT_EQ(inSandbox(c.body), 0) << c.what;
  EXPECT_FALSE(fs::exists("/tmp/vlm-sandbox-escape"));
}

}  // namespace
