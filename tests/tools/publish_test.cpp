#include <gtest/gtest.h>

#include <filesystem>

#include "archive/patch_package.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/server_dir.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

std::string patchList(std::uint32_t patch, std::uint32_t launcher, std::uint32_t client) {
  std::string bytes;
  for (std::uint32_t v : {patch, launcher, client})
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return bytes;
}

// Only the published files, no temporary ones left behind.
std::vector<std::string> serverFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Publish, AddsNumberedPatchesAndRaisesTheListAfterEach) {
  TempWorkDir dir;
  fs::create_directories("server");
  writeStoreManifest("one.txt", {{1, "first"}});
  writeStoreManifest("two.txt", {{2, "second"}});
  ASSERT_EQ(runTool("publish", {"server", "one.txt"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(1, 0, 0));
  ASSERT_EQ(runTool("publish", {"server", "two.txt"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(2, 0, 0));
  EXPECT_EQ(serverFiles("server"), (std::vector<std::string>{"1.rar", "2.rar", "patch.hpl"}));

  writeWholeFile("launcher.bin", "new launcher");
  writeWholeFile("client.bin", "new client");
  ASSERT_EQ(runTool("publish-launcher", {"server", "launcher.bin"}), kExitOk);
  ASSERT_EQ(runTool("publish-client", {"server", "client.bin"}), kExitOk);
  ASSERT_EQ(runTool("publish-client", {"server", "client.bin"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(2, 1, 2));
  EXPECT_EQ(readWholeFile("server/Start VLM.exe"), "new launcher");
  EXPECT_EQ(readWholeFile("server/Kelda.exe"), "new client");
  EXPECT_EQ(serverFiles("server"),
            (std::vector<std::string>{"1.rar", "2.rar", "Kelda.exe", "Start VLM.exe", "patch.hpl"}));
}

TEST(Publish, RefusesAPackageWhoseVersionIsNotTheNextNumberAndChangesNothing) {
  TempWorkDir dir;
  fs::create_directories("server");
  writeWholeFile("server/patch.hpl", patchList(4, 1, 1));
  writeStoreManifest("m.txt", {{9, "nine"}});
  ASSERT_EQ(runTool("package build", {"m.txt", "-o", "p.dat", "--version", "7"}), kExitOk);
  EXPECT_EQ(runTool("publish", {"server", "p.dat"}), kExitFailed);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(4, 1, 1));
  EXPECT_EQ(serverFiles("server"), (std::vector<std::string>{"patch.hpl"}));

  ASSERT_EQ(runTool("package build", {"m.txt", "-o", "p5.dat", "--version", "5"}), kExitOk);
  EXPECT_EQ(runTool("publish", {"server", "p5.dat"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(5, 1, 1));
  EXPECT_TRUE(fileExists("p5.dat")) << "publishing leaves the operator's package alone";
}

TEST(Publish, FailsCleanlyOnMissingInputs) {
  TempWorkDir dir;
  fs::create_directories("server");
  writeWholeFile("m.txt", "store 1 missing.bin\n");
  EXPECT_EQ(runTool("publish", {"server", "m.txt"}), kExitFailed);
  EXPECT_EQ(runTool("publish", {"nowhere", "m.txt"}), kExitFailed);
  EXPECT_EQ(runTool("publish-client", {"server", "missing.exe"}), kExitFailed);
  EXPECT_EQ(runTool("publish", {"server"}), kExitUsage);
  EXPECT_TRUE(serverFiles("server").empty());
}

TEST(PackageBuild, WritesWhatTheLauncherLoadsAndShowLeavesTheFileAlone) {
  TempWorkDir dir;
  fs::create_directories("content/sub");
  writeWholeFile("content/sub/a.txt", "alpha");
  writeWholeFile("content/b.txt", std::string(300, 'b'));
  writeWholeFile("content/m.txt", "version 3\nseed 5\nwrite \"docs\\a b.txt\" sub/a.txt\nwrite c.txt b.txt\n");
  ASSERT_EQ(runTool("package build", {"content/m.txt", "-o", "p.dat"}), kExitOk);
  std::string before = readWholeFile("p.dat");
  ASSERT_EQ(runTool("package show", {"p.dat"}), kExitOk);
  EXPECT_EQ(readWholeFile("p.dat"), before) << "show only reads";

  archive::PatchPackage package;
  ASSERT_TRUE(archive::loadPatchPackage(package, "p.dat"));
  EXPECT_EQ(package.version, 3);
  EXPECT_EQ(package.seed, 5);
  EXPECT_EQ(package.type, 3);
  ASSERT_EQ(package.items.size(), 2u);
  EXPECT_EQ(package.items[0].name, "docs\\a b.txt");
  std::string data;
  ASSERT_TRUE(archive::readWholePatchItem(package, package.items[1], &data));
  EXPECT_EQ(data, std::string(300, 'b'));
  archive::closePatchPackage(package);

  EXPECT_EQ(runTool("package build", {"content/m.txt"}), kExitUsage) << "no output named";
  writeWholeFile("content/noversion.txt", "delete x\n");
  EXPECT_EQ(runTool("package build", {"content/noversion.txt", "-o", "q.dat"}), kExitUsage);
  EXPECT_FALSE(fileExists("q.dat"));
}

}  // namespace
}  // namespace vlmpatch
