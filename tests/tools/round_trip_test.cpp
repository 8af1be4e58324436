// From an operator's manifests to a player's patched installation: vlm-patch
// builds, packs and publishes three patches into a directory that a real
// nginx serves, then the launcher's own update pass fetches, extracts and
// applies them, and `index check` finds the installation sound.
//
// The launcher keeps its files beside its executable, so this test works in
// its binary's own directory (tests/tools/roundtrip), which nothing else uses.
#include <gtest/gtest.h>

#include <filesystem>

#include "archive/index.h"
#include "core/display_state.h"
#include "core/paths.h"
#include "support/launcher_state.h"
#include "support/temp_dir.h"
#include "tests/update/hook_recorder.h"
#include "tests/update/patch_server.h"
#include "tool_fixture.h"
#include "update/game_start.h"
#include "update/patch_list.h"
#include "update/server_files.h"
#include "update/update_driver.h"
#include "update/versions.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

void updatePass() {
  archive::loadIndex();
  update::runUpdate();
}

TEST(RoundTrip, PublishedPatchesReachTheInstallationThroughTheLauncher) {
  fs::path launcherDir = core::exeDirectory();
  fs::path previous = fs::current_path();
  fs::current_path(launcherDir);
  for (const char* leftover : {"data.idx", "GAME0.VFS", "cver.v", "old_intro.txt", "data", "content"}) {
    fs::remove_all(leftover);
  }

  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  std::string patches = server.patchDirectory();
  fs::create_directories(patches);

  // The operator's side.
  fs::create_directories("content");
  writeStoreManifest("content/p1.txt", {{0x10001, bytesOf(70000, 'a')}, {0x10002, bytesOf(5, 'b')}});
  writeWholeFile("content/news.txt", "Welcome to the winter festival!\n");
  writeWholeFile("content/p2.txt", "write \"data\\news\\festival.txt\" news.txt\n");
  writeWholeFile("content/p3.txt", "delete old_intro.txt\n");
  for (const char* manifest : {"content/p1.txt", "content/p2.txt", "content/p3.txt"}) {
    ASSERT_EQ(runTool("publish", {patches, manifest}), kExitOk) << manifest;
  }
  // The client as this launcher's system runs it.
  const std::string client = programBytes("client version 1");
  const bool windows = update::kThisPlatform == update::LauncherPlatform::kWindows;
  writeWholeFile("content/Kelda.exe", windows ? client : otherPlatformsProgram("client version 1"));
  ASSERT_EQ(runTool("publish-client", {patches, "content/Kelda.exe"}), kExitOk);
  ASSERT_EQ(runTool("publish-launcher", {patches, "content/Kelda.exe"}), kExitOk);
  if (!windows) {
    // vlm-patch publishes the Windows launcher and client; the Linux client
    // and the Linux versions of the list are published here by hand, as a
    // Linux launcher reads them (update/server_files.h).
    const std::string listBytes = readWholeFile(server.served("patch.hpl"));
    update::PatchList list;
    update::decodePatchList(reinterpret_cast<const unsigned char*>(listBytes.data()), listBytes.size(), &list);
    list.of(update::kThisPlatform) = list.of(update::LauncherPlatform::kWindows);
    server.publishPatchList(list);
    server.publishClient(client);
  }

  // The player's side: an installation at version 0, launcher 1, client 0.
  ASSERT_EQ(runTool("index init", {"."}), kExitOk);
  writeWholeFile("cver.v", std::string("\x01\x00\x00\x00\x00\x00\x00\x00", 8));
  writeWholeFile("old_intro.txt", "an intro movie");

  resetLauncherState();
  update::gameStartDelayMs = 20;
  installRecorders();
  ASSERT_TRUE(runOnWorkerThread(updatePass));
  ASSERT_TRUE(waitForStarts(1));
  RecordedEffects effects = recordedEffects();
  removeRecorders();
  resetLauncherState();

  EXPECT_TRUE(effects.boxes.empty()) << effects.boxes[0].first;
  EXPECT_EQ(effects.starts[0].rfind("Kelda.exe @HALVORN_MODE@ _server ", 0), 0u) << effects.starts[0];
  EXPECT_EQ(readWholeFile(update::thisPlatformFiles().client), client);
  EXPECT_EQ(server.requestsFor("Kelda.exe"), windows ? 1 : 0) << "a launcher fetches its own platform's client";
  EXPECT_EQ(installationContents("."),
            (std::map<std::uint32_t, std::string>{{0x10001, bytesOf(70000, 'a')}, {0x10002, bytesOf(5, 'b')}}));
  EXPECT_EQ(readWholeFile((fs::path("data") / "news" / "festival.txt").string()), "Welcome to the winter festival!\n");
  EXPECT_FALSE(fileExists("old_intro.txt"));
  EXPECT_EQ(runTool("index check", {"."}), kExitOk);
  EXPECT_EQ(archive::installedVersion, 0u) << "the pass started from version 0";
  std::string index = readWholeFile("data.idx");
  ASSERT_GE(index.size(), 4u);
  EXPECT_EQ(index.substr(0, 4), std::string("\x03\x00\x00\x00", 4)) << "the index now holds version 3";

  for (const char* leftover : {"data.idx", "GAME0.VFS", "cver.v", "data", "content", "Kelda.exe", "Kelda"}) {
    fs::remove_all(leftover);
  }
  fs::current_path(previous);
}

}  // namespace
}  // namespace vlmpatch
