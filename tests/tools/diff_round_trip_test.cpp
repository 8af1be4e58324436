// From a studio's release to a player's installation: vlm-patch diffs the
// old and the new release and publishes the packages, signed, into a
// directory that a real nginx serves; the launcher's own update pass fetches,
// extracts and applies them to an installation of the old release, which
// then holds the new release's keys and files. The new release's version is
// above the last package's number, so empty packages follow up to it (--pad):
// the launcher applies them too and ends at the new release's version.
//
// The launcher keeps its files beside its executable, so this test works in
// its binary's own directory (tests/tools/roundtrip-diff), which nothing else
// uses.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/index.h"
#include "core/paths.h"
#include "support/launcher_state.h"
#include "support/temp_dir.h"
#include "tests/update/hook_recorder.h"
#include "tests/update/patch_server.h"
#include "tool_fixture.h"
#include "update/game_start.h"
#include "update/update_driver.h"
#include "update/versions.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

void updatePass() {
  archive::loadIndex();
  update::runUpdate();
}

TEST(DiffRoundTrip, ThePublishedDiffTakesAPlayerFromTheOldReleaseToTheNew) {
  fs::path launcherDir = core::exeDirectory();
  TempWorkDir work;
  const std::string big = bytesOf(300000, 'q');
  ReleaseSpec oldRelease{0,
                         {{"GAME0.VFS", {{1, "one"}, {2, "two"}, {3, big}}}},
                         {{"readme.txt", "old notes"}, {"data/old.txt", "old"}, {"data/keep.txt", "keep"}}};
  ReleaseSpec newRelease{5,
                         {{"GAME0.VFS", {{1, "one"}, {2, "TWO"}}}, {"GAME1.VFS", {{3, big}, {4, "four"}}}},
                         {{"readme.txt", "new notes"}, {"data\\keep.txt", "keep"}, {"ui/skin/new.txt", "skin"}}};
  writeRelease("old", oldRelease);
  writeRelease("new", newRelease);
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitVersions);
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out", "--pad"}), kExitOk);
  ASSERT_EQ(packagesIn("out").size(), 5u);
  EXPECT_EQ(packagesIn("out")[4].second, 0) << "5.dat is empty";

  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  std::string patches = server.patchDirectory();
  fs::create_directories(patches);
  ASSERT_EQ(runTool("publish", {patches, "out", "--key", "op.key"}), kExitOk);
  ASSERT_EQ(runTool("server check", {patches, "--public-key", "op.key"}), kExitOk);

  // The player's installation: the old release beside the launcher.
  for (const auto& entry : fs::directory_iterator("old")) {
    fs::path target = launcherDir / entry.path().filename();
    fs::remove_all(target);
    fs::copy(entry.path(), target, fs::copy_options::recursive);
  }
  fs::path previous = fs::current_path();
  fs::current_path(launcherDir);
  resetLauncherState();
  update::gameStartDelayMs = 20;
  installRecorders();
  bool ran = runOnWorkerThread(updatePass);
  bool started = ran && waitForStarts(1);
  RecordedEffects effects = recordedEffects();
  removeRecorders();
  resetLauncherState();
  fs::current_path(previous);

  EXPECT_TRUE(ran && started);
  EXPECT_TRUE(effects.boxes.empty()) << effects.boxes[0].first;
  EXPECT_EQ(installationContents(launcherDir.string()), installationContents("new"));
  EXPECT_EQ(readWholeFile((launcherDir / "readme.txt").string()), "new notes");
  EXPECT_EQ(readWholeFile((launcherDir / "ui" / "skin" / "new.txt").string()), "skin");
  EXPECT_EQ(readWholeFile((launcherDir / "data" / "keep.txt").string()), "keep");
  EXPECT_FALSE(fs::exists(launcherDir / "data" / "old.txt"));
  std::string index = readWholeFile((launcherDir / "data.idx").string());
  ASSERT_GE(index.size(), 4u);
  EXPECT_EQ(index.substr(0, 4), std::string("\x05\x00\x00\x00", 4)) << "the installation is at version 5";

  for (const char* leftover : {"data.idx", "GAME0.VFS", "GAME1.VFS", "readme.txt", "data", "ui", "cver.v", "rseq.v"})
    fs::remove_all(launcherDir / leftover);
}

}  // namespace
}  // namespace vlmpatch
