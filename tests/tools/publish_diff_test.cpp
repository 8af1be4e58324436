// vlm-patch publish SERVER_DIR OUT_DIR: a whole diff published package by
// package, each step as a single publish makes it, signed on request.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/server_dir.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

std::uint32_t latestPatch(const std::string& server) {
  update::PatchList list;
  std::string error;
  EXPECT_TRUE(readServerPatchList(server, &list, &error)) << error;
  return list.latestPatch;
}

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// OLD at version 0 and a NEW that takes three packages (keys, a deletion, a
// write) to reach, diffed into "out".
void diffThreePackages() {
  writeRelease("old", {0, {{"GAME0.VFS", {{1, "one"}}}}, {{"gone.txt", "g"}}});
  writeRelease("new", {3, {{"GAME0.VFS", {{1, "ONE"}, {2, "two"}}}}, {{"docs/new.txt", "n"}}});
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitOk);
  ASSERT_EQ(filesIn("out"), (std::vector<std::string>{"1.dat", "2.dat", "3.dat"}));
}

TEST(PublishDiff, PublishesEveryPackageInOrderAndLeavesThemAlone) {
  TempWorkDir dir;
  diffThreePackages();
  std::string package2 = readWholeFile("out/2.dat");
  fs::create_directories("server");
  ASSERT_EQ(runTool("publish", {"server", "out"}), kExitOk);
  EXPECT_EQ(latestPatch("server"), 3u);
  EXPECT_EQ(filesIn("server"), (std::vector<std::string>{"1.rar", "2.rar", "3.rar", "patch.hpl"}));
  // The archives store their package as it is: N.rar holds N.dat's bytes.
  for (const char* n : {"1", "2", "3"}) {
    std::string package = readWholeFile(std::string("out/") + n + ".dat");
    EXPECT_NE(readWholeFile(std::string("server/") + n + ".rar").find(package), std::string::npos) << n;
  }
  EXPECT_EQ(readWholeFile("out/2.dat"), package2);
  // Published already: the next number is 4 now.
  EXPECT_EQ(runTool("publish", {"server", "out"}), kExitFailed);
  EXPECT_EQ(latestPatch("server"), 3u);
}

TEST(PublishDiff, SignsEachStepWhenAKeyIsGiven) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  diffThreePackages();
  fs::create_directories("server");
  ASSERT_EQ(runTool("publish", {"server", "out", "--key", "op.key", "--expires-days", "8"}), kExitOk);
  EXPECT_EQ(latestPatch("server"), 3u);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);

  // The next release, diffed from the last and published signed again; an
  // unsigned publish of it is refused first.
  writeRelease("newer", {4, {{"GAME0.VFS", {{1, "ONE"}, {2, "two"}, {3, "three"}}}}, {{"docs/new.txt", "n"}}});
  ASSERT_EQ(runTool("diff", {"new", "newer", "-o", "out2"}), kExitOk);
  EXPECT_EQ(runTool("publish", {"server", "out2"}), kExitFailed);
  EXPECT_EQ(latestPatch("server"), 3u);
  ASSERT_EQ(runTool("publish", {"server", "out2", "--key", "op.key"}), kExitOk);
  EXPECT_EQ(latestPatch("server"), 4u);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
}

TEST(PublishDiff, RefusesADirectoryThatDoesNotFollowOnAndPublishesNothing) {
  struct Case {
    const char* what;
    void (*prepare)();
    int code;
  } cases[] = {
      {"the server is further on already",
       [] {
         ASSERT_EQ(runTool("publish", {"server", "single.txt"}), kExitOk);
       },
       kExitFailed},
      {"a gap between the packages", [] { fs::remove("out/2.dat"); }, kExitFailed},
      {"a package that carries another number", [] { writeWholeFile("out/3.dat", readWholeFile("out/2.dat")); },
       kExitFailed},
      {"a file that is no whole package", [] { writeWholeFile("out/3.dat", "not a package"); }, kExitFailed},
      {"no packages at all",
       [] {
         for (const char* name : {"out/1.dat", "out/2.dat", "out/3.dat"}) fs::remove(name);
         writeWholeFile("out/notes.txt", "the operator's notes");
       },
       kExitOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    diffThreePackages();
    fs::create_directories("server");
    writeStoreManifest("single.txt", {{9, "nine"}});
    c.prepare();
    std::vector<std::string> before = filesIn("server");
    std::uint32_t latest = latestPatch("server");
    EXPECT_EQ(runTool("publish", {"server", "out"}), c.code);
    EXPECT_EQ(filesIn("server"), before);
    EXPECT_EQ(latestPatch("server"), latest);
  }
}

}  // namespace
}  // namespace vlmpatch
