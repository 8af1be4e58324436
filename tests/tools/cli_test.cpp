// The real vlm-patch executable, as an operator runs it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <random>

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
  const char* commands[] = {"package build",    "package show",   "pack",       "publish",
                            "publish-launcher", "publish-client", "index init", "index show",
                            "index check",      "apply",          "compact"};
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
  EXPECT_EQ(vlmPatch("--help").code, 0);
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
