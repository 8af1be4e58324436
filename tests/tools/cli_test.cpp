// The real vlm-patch executable, as an operator runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>

#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/install_check.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

struct ToolRun {
  int code;
  std::string out;
};

// Runs vlm-patch with a shell command line's arguments; output of both streams.
ToolRun vlmPatch(const std::string& arguments, const std::string& environment = "") {
  std::string command = environment + " '" VLM_PATCH_EXE "' " + arguments + " > cli-out.txt 2>&1";
  int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile("cli-out.txt")};
}

TEST(Cli, EveryCommandHasHelpAndUsageErrorsExitWithTwo) {
  TempWorkDir dir;
  const char* commands[] = {"package build",  "package show", "pack",        "publish",      "publish-launcher",
                            "publish-client", "server init",  "server sign", "server check", "key generate",
                            "index init",     "index show",   "index check", "apply",        "compact"};
  for (const char* command : commands) {
    ToolRun help = vlmPatch(std::string(command) + " --help");
    EXPECT_EQ(help.code, 0) << command;
    EXPECT_NE(help.out.find(std::string("usage: vlm-patch ") + command), std::string::npos) << help.out;
    ToolRun bare = vlmPatch(command);
    EXPECT_EQ(bare.code, 2) << command << ": " << bare.out;
    EXPECT_NE(bare.out.find("usage"), std::string::npos) << bare.out;
  }
  ToolRun group = vlmPatch("index --help");
  EXPECT_EQ(group.code, 0);
  EXPECT_NE(group.out.find("vlm-patch index check INSTALL_DIR"), std::string::npos) << group.out;
  EXPECT_EQ(vlmPatch("package").code, 2);
  EXPECT_EQ(vlmPatch("").code, 2);
  ToolRun help = vlmPatch("--help");
  EXPECT_EQ(help.code, 0);
  for (const char* line :
       {"vlm-patch publish SERVER_DIR PACKAGE.dat|MANIFEST|OUT_DIR [--key FILE]... [--new-key FILE]...",
        "vlm-patch publish-launcher SERVER_DIR FILE [--platform windows|linux] [--key FILE]... "
        "[--new-key FILE]...",
        "vlm-patch server init SERVER_DIR --latest N", "starting from a live game whose players are at version N:",
        "vlm-patch server init SERVER_DIR --latest N --key KEYFILE"})
    EXPECT_NE(help.out.find(line), std::string::npos) << line << "\n" << help.out;
  ToolRun apply = vlmPatch("apply --help");
  EXPECT_NE(apply.out.find("the package files\ngiven are kept"), std::string::npos) << apply.out;
  ToolRun unknown = vlmPatch("frobnicate");
  EXPECT_EQ(unknown.code, 2);
  EXPECT_NE(unknown.out.find("unknown command 'frobnicate'"), std::string::npos);
}

TEST(Cli, ReportsFailuresOnStandardErrorWithExitCodeOne) {
  TempWorkDir dir;
  ToolRun missing = vlmPatch("package show nothing.dat");
  EXPECT_EQ(missing.code, 1);
  EXPECT_NE(missing.out.find("vlm-patch: no such file: nothing.dat"), std::string::npos) << missing.out;
  writeWholeFile("m.txt", "store 1 a.bin\nstore zero b.bin\n");
  ToolRun bad = vlmPatch("package build m.txt -o p.dat --version 1");
  EXPECT_EQ(bad.code, 1);
  EXPECT_NE(bad.out.find("m.txt: line 2: key 'zero'"), std::string::npos) << bad.out;
}

// A file system of its own that can be filled: a tmpfs mounted in a mount
// namespace of the command alone (as root, or as another user through a
// user namespace). "" when the system refuses it.
std::string unshareCommand() {
  std::string unshare = geteuid() == 0 ? "unshare -m" : "unshare -rm";
  int status = std::system((unshare + " sh -c 'mkdir -p fs-probe && mount -t tmpfs -o size=64k tmpfs fs-probe' "
                                      ">/dev/null 2>&1")
                               .c_str());
  std::error_code ignored;
  fs::remove("fs-probe", ignored);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? unshare : "";
}

// Runs vlm-patch with the server directory "srv" copied onto a tmpfs that
// has `freePages` pages (4 KiB) left once the copy is there; the server
// directory as the command left it is copied back to "after". A full disk,
// the real thing.
ToolRun runOnAFullDisk(const std::string& unshare, const std::string& arguments, int freePages) {
  fs::remove_all("mnt");
  fs::remove_all("after");
  fs::create_directories("mnt");
  fs::create_directories("after");
  writeWholeFile("full-disk.sh",
                 "mount -t tmpfs -o size=2m tmpfs mnt && mkdir mnt/srv && cp -a srv/. mnt/srv/ &&\n"
                 "avail=$(stat -f -c %a mnt) &&\n"
                 "head -c $(( (avail - " +
                     std::to_string(freePages) +
                     ") * 4096 )) /dev/zero > mnt/filler &&\n"
                     "{ '" VLM_PATCH_EXE "' " +
                     arguments +
                     " > cli-out.txt 2>&1; echo $? > cli-code.txt;\n"
                     "  cp -a mnt/srv/. after/; }\n");
  int status = std::system((unshare + " sh full-disk.sh").c_str());
  std::string code = readWholeFile("cli-code.txt");
  fs::remove("cli-code.txt");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || code.empty()) return {-1, readWholeFile("cli-out.txt")};
  return {std::stoi(code), readWholeFile("cli-out.txt")};
}

// Each command that changes a server directory, on a disk that fills up at
// one write after the other: the directory stays byte for byte as it was,
// the exit code is 1 and the message gives the system's reason; with room
// enough, the command goes through.
TEST(FullDisk, ACommandThatRunsOutOfSpaceLeavesTheServerAsItWas) {
  TempWorkDir dir;
  std::string unshare = unshareCommand();
  if (unshare.empty()) GTEST_SKIP() << "unshare and mount are refused here: no file system of our own to fill";
  fs::create_directories("srv");
  ASSERT_EQ(vlmPatch("key generate op.key").code, 0);
  writeStoreManifest("one.txt", {{1, "first"}});
  writeWholeFile("launcher.exe", windowsProgram(5000, 'l'));
  ASSERT_EQ(vlmPatch("publish srv one.txt --key op.key").code, 0);
  ASSERT_EQ(vlmPatch("publish-launcher srv launcher.exe --key op.key").code, 0);
  writeStoreManifest("two.txt", {{2, bytesOf(60000, 't')}});
  ASSERT_EQ(vlmPatch("package build two.txt -o 2.dat --version 2").code, 0);
  writeWholeFile("launcher2.exe", windowsProgram(40000, 'n'));
  const std::map<std::string, std::string> before = directorySnapshot("srv");

  struct Case {
    const char* arguments;
    const char* added;          // a file that the change adds
    std::size_t leastFailures;  // distinct writes that fail before it goes through
  } cases[] = {
      {"publish mnt/srv 2.dat --key op.key", "2.rar", 8},
      {"publish-launcher mnt/srv launcher2.exe --key op.key", nullptr, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    std::set<std::string> failures;
    bool through = false;
    for (int pages = 0; pages <= 40 && !through; ++pages) {
      SCOPED_TRACE(std::to_string(pages) + " pages free");
      ToolRun run = runOnAFullDisk(unshare, c.arguments, pages);
      ASSERT_NE(run.code, -1) << run.out;
      std::map<std::string, std::string> after = directorySnapshot("after");
      if (run.code == 0) {
        EXPECT_GT(pages, 0) << "a full disk took the change: " << run.out;
        through = true;
        if (c.added) {
          EXPECT_TRUE(after.count(c.added)) << run.out;
        }
        for (const auto& [name, bytes] : after) EXPECT_NE(name[0], '.') << name << " is left behind";
        continue;
      }
      EXPECT_EQ(run.code, 1) << run.out;
      EXPECT_EQ(snapshotDifference(before, after), "") << run.out;
      EXPECT_NE(run.out.find("No space left on device"), std::string::npos) << run.out;
      failures.insert(run.out.substr(0, run.out.find(':', run.out.find("cannot"))));
    }
    EXPECT_TRUE(through) << "with room enough the command goes through";
    EXPECT_GE(failures.size(), c.leastFailures) << "the failing writes differ from row to row";
  }
}

// server check shows its progress on a terminal, and nothing of it when
// standard error is not one.
TEST(Cli, ServerCheckShowsProgressOnATerminal) {
  TempWorkDir dir;
  if (std::system("command -v script > /dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) to give a terminal";
  fs::create_directories("srv");
  writeStoreManifest("one.txt", {{1, "first"}});
  writeStoreManifest("two.txt", {{2, "second"}});
  ASSERT_EQ(vlmPatch("publish srv one.txt").code, 0);
  ASSERT_EQ(vlmPatch("publish srv two.txt").code, 0);
  ToolRun plain = vlmPatch("server check srv");
  EXPECT_EQ(plain.code, 0) << plain.out;
  EXPECT_EQ(plain.out.find("checking patches"), std::string::npos) << plain.out;
  int status = std::system("script -qec \"'" VLM_PATCH_EXE "' server check srv\" /dev/null > tty-out.txt 2>&1");
  std::string onTerminal = readWholeFile("tty-out.txt");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << onTerminal;
  EXPECT_NE(onTerminal.find("checking patches ["), std::string::npos) << onTerminal;
  EXPECT_NE(onTerminal.find("] 100%"), std::string::npos) << onTerminal;
}

// The number of steps a whole compaction takes, counted by a run that stops
// at a step it never reaches.
TEST(Compact, InterruptedAtAnyPointLeavesAValidInstallation) {
  TempWorkDir dir;
  fs::create_directories("template");
  ASSERT_EQ(runTool("index init", {"template"}), kExitOk);
  std::map<std::uint32_t, std::string> expected;
  for (int round = 0; round < 3; ++round) {
    std::map<std::uint32_t, std::string> files;
    for (std::uint32_t key = 1; key <= 5; ++key) {
      // Items above a chunk, so copies take several steps each.
      files[key] = bytesOf((1u << 20) + key * 1000 + static_cast<std::uint32_t>(round), static_cast<char>(key + round));
      if (round < 2 || key < 3) expected[key] = files[key];
      if (round == 2 && key >= 3) files.erase(key);
    }
    std::string manifest = "m" + std::to_string(round) + ".txt";
    writeStoreManifest(manifest, files);
    ASSERT_EQ(runTool("package build", {manifest, "-o", "p.dat", "--version", std::to_string(round + 1)}), kExitOk);
    ASSERT_EQ(runTool("apply", {"template", "p.dat"}), kExitOk);
  }
  ASSERT_EQ(installationContents("template"), expected);

  // Every step from the first to past the last: 1 to 40 covers copies,
  // flushes, the index switch and the deletions.
  std::vector<int> points;
  for (int i = 1; i <= 40; ++i) points.push_back(i);
  int completedRuns = 0;
  for (int point : points) {
    fs::remove_all("install");
    fs::copy("template", "install", fs::copy_options::recursive);
    ToolRun crashed = vlmPatch("compact install", "VLM_CRASH_AT_POINT=" + std::to_string(point));
    ASSERT_TRUE(crashed.code == 75 || crashed.code == 0) << point << ": " << crashed.out;
    if (crashed.code == 0) ++completedRuns;
    EXPECT_EQ(installationContents("install"), expected) << "after a stop at step " << point;
    EXPECT_EQ(vlmPatch("index check install").code, 0) << "after a stop at step " << point;
    // And the next run finishes the work.
    ToolRun again = vlmPatch("compact install");
    EXPECT_EQ(again.code, 0) << again.out;
    EXPECT_EQ(installationContents("install"), expected);
    ToolRun check = vlmPatch("index check install");
    EXPECT_NE(check.out.find(" 0 bytes (0.0 MiB) held by replaced files"), std::string::npos) << check.out;
  }
  EXPECT_GT(completedRuns, 0) << "the points must reach past the last step";
  EXPECT_LT(completedRuns, static_cast<int>(points.size()));
}

}  // namespace
}  // namespace vlmpatch
