// vlm-patch diff and compare as an operator runs them: the real executable,
// its exit codes, and its progress on a terminal.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "support/temp_dir.h"
#include "tool_fixture.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

struct ToolRun {
  int code;
  std::string out;
};

ToolRun vlmPatch(const std::string& arguments) {
  std::string command = "'" VLM_PATCH_EXE "' " + arguments + " > cli-out.txt 2>&1";
  int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile("cli-out.txt")};
}

TEST(DiffCli, HelpNamesTheExitCodesAndTheUsageExitsWithTwo) {
  TempWorkDir dir;
  ToolRun help = vlmPatch("diff --help");
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("usage: vlm-patch diff OLD_INSTALL NEW_INSTALL -o OUT_DIR [--first N]"), std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("exits with code 3"), std::string::npos) << help.out;
  ToolRun compare = vlmPatch("compare --help");
  EXPECT_EQ(compare.code, 0);
  EXPECT_NE(compare.out.find("0 when equal, 1 when they differ"), std::string::npos) << compare.out;
  EXPECT_EQ(vlmPatch("diff").code, 2);
  EXPECT_EQ(vlmPatch("compare").code, 2);
  ToolRun all = vlmPatch("--help");
  EXPECT_NE(all.out.find("vlm-patch publish SERVER_DIR PACKAGE.dat|MANIFEST|OUT_DIR"), std::string::npos) << all.out;
}

TEST(DiffCli, ExitCodesOfDiffAndCompare) {
  TempWorkDir dir;
  writeRelease("old", {1, {{"GAME0.VFS", {{1, "a"}, {2, "b"}}}}, {}});
  writeRelease("new", {2, {{"GAME0.VFS", {{1, "A"}}}}, {}});
  ToolRun stale = vlmPatch("diff old new -o out");
  EXPECT_EQ(stale.code, 3) << stale.out;
  EXPECT_NE(stale.out.find("0x00000002"), std::string::npos) << stale.out;
  ToolRun allowed = vlmPatch("diff old new -o out --allow-stale-keys");
  EXPECT_EQ(allowed.code, 0) << allowed.out;
  EXPECT_EQ(vlmPatch("compare old new").code, 1);
  EXPECT_EQ(vlmPatch("compare new new").code, 0);
}

// script(1) gives the tool a terminal; the bar is drawn there and nowhere
// else.
TEST(DiffCli, ShowsProgressOnATerminalOnly) {
  TempWorkDir dir;
  // The key's package is written while the archives are read; the loose
  // file's after them.
  writeRelease("old", {1, {{"GAME0.VFS", {{1, bytesOf(4 << 20, 'a')}}}}, {{"notes.txt", "a"}}});
  writeRelease("new", {2, {{"GAME0.VFS", {{1, bytesOf(4 << 20, 'b')}}}}, {{"notes.txt", "b"}}});
  std::string command = "script -qec \"'" VLM_PATCH_EXE "' diff old new -o out\" /dev/null > tty-out.txt 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string terminal = readWholeFile("tty-out.txt");
  EXPECT_NE(terminal.find("reading archives ["), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("writing packages ["), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("100%"), std::string::npos) << terminal;
  fs::remove_all("out");
  ToolRun redirected = vlmPatch("diff old new -o out");
  EXPECT_EQ(redirected.code, 0);
  EXPECT_EQ(redirected.out.find("reading archives"), std::string::npos) << redirected.out;
}

// Runs script with sh in a mount namespace of its own, where "disk" (made
// first in the working directory) may be mounted: as root with unshare -m,
// as another user in a user namespace of its own too (-r). False when the
// system refuses the namespace.
bool inMountNamespace(const std::string& script) {
  fs::create_directories("disk");
  std::string command =
      std::string(::geteuid() == 0 ? "unshare -m" : "unshare -rm") + " sh -c '" + script + "' > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// A real full disk: the packages go onto a file system of 256 KiB of its
// own. diff says "No space left on device" and leaves nothing there but
// an output directory the operator made.
TEST(DiffCli, AFullDiskIsToldWithTheSystemsReasonAndLeavesNothing) {
  TempWorkDir dir;
  const std::string mount = "mount -t tmpfs -o size=256k tmpfs disk";
  if (!inMountNamespace(mount)) GTEST_SKIP() << "unshare is refused here: no file system of its own to fill";
  struct Case {
    const char* what;
    ReleaseSpec newRelease;
    bool outMade;  // the operator made the output directory
    const char* left;
  } cases[] = {
      {"the keys' package, written while NEW is read",
       {2, {{"GAME0.VFS", {{1, bytesOf(2 << 20, 'n')}}}}, {}},
       false,
       ""},
      {"a loose file's package, once the keys' is written",
       {2, {{"GAME0.VFS", {{1, "small"}}}}, {{"movie.bik", bytesOf(1 << 20, 'm')}}},
       false,
       ""},
      {"into a directory the operator made",
       {2, {{"GAME0.VFS", {{1, bytesOf(2 << 20, 'n')}}}}, {}},
       true,
       "disk/out\n"},
  };
  writeRelease("old", {1, {{"GAME0.VFS", {{1, "old"}}}}, {}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all("new");
    writeRelease("new", c.newRelease);
    std::string script = mount + (c.outMade ? " && mkdir disk/out" : "") +
                         " && { \"" VLM_PATCH_EXE
                         "\" diff old new -o disk/out > out.txt 2>&1; echo $? > code.txt; find disk -mindepth 1 > "
                         "left.txt; }";
    ASSERT_TRUE(inMountNamespace(script));
    EXPECT_EQ(readWholeFile("code.txt"), "1\n");
    std::string out = readWholeFile("out.txt");
    EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
    EXPECT_NE(out.find("disk/out"), std::string::npos) << out;
    EXPECT_EQ(readWholeFile("left.txt"), c.left);
  }
}

}  // namespace
}  // namespace vlmpatch
