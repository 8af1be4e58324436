// vlm-patch diff and compare as an operator runs them: the real executable,
// its exit codes, and its progress on a terminal.
#include <gtest/gtest.h>

#include <sys/wait.h>

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

}  // namespace
}  // namespace vlmpatch
