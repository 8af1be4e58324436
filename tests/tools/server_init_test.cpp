// vlm-patch server init: a server for players already at version N, whose
// first patch is N+1, and what publish, server sign and server check make
// of it.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/patch_list.h"
#include "update/release_record.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

std::string listAt(std::uint32_t latest) { return update::encodePatchList(update::PatchList{latest, {}}); }

std::vector<std::string> namesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& [name, bytes] : directorySnapshot(dir)) names.push_back(name);
  return names;
}

update::ReleaseRecord recordOf(const std::string& path) {
  update::ReleaseRecord record;
  std::string error;
  EXPECT_TRUE(update::decodeReleaseRecord(readWholeFile(path), &record, &error)) << path << ": " << error;
  return record;
}

std::vector<update::FileDigest> blockOf(std::uint32_t k, std::uint32_t count) {
  std::vector<update::FileDigest> patches;
  std::string error;
  EXPECT_TRUE(update::decodePatchBlock(readWholeFile("server/" + blockName(k)), count, &patches, &error)) << error;
  return patches;
}

bool isZero(const update::FileDigest& digest) { return digest.size == 0 && digest.sha256 == update::Sha256Digest{}; }

TEST(ServerInit, StartsASignedServerWhoseFirstPatchFollowsTheLatest) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  ASSERT_EQ(runTool("server init", {"server", "--latest", "1426", "--key", "op.key"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/.vlm-first-patch"), "1427\n");
  EXPECT_EQ(readWholeFile("server/patch.hpl"), listAt(1426));
  EXPECT_EQ(
      namesIn("server"),
      (std::vector<std::string>{".vlm-first-patch", "patch.hpl", "release-0.blk", "release-1.blk", "release-2.blk",
                                "release-3.blk", "release-4.blk", "release-5.blk", "release-linux.rec", "release.rec"}))
      << "no patch archive below the first";
  update::ReleaseRecord windows = recordOf("server/release.rec");
  EXPECT_EQ(windows.latestPatch, 1426u);
  EXPECT_EQ(windows.blockDigests.size(), 6u);
  EXPECT_EQ(recordOf("server/release-linux.rec").blockDigests, windows.blockDigests);
  for (const update::FileDigest& entry : blockOf(5, 1426 - 5 * 256)) EXPECT_TRUE(isZero(entry));
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);

  // The next patch is 1427; the block that holds it says so, and the others
  // stay "not published".
  writeStoreManifest("m.txt", {{7, "seven"}});
  ASSERT_EQ(runTool("publish", {"server", "m.txt", "--key", "op.key"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), listAt(1427));
  EXPECT_TRUE(fs::exists("server/1427.rar"));
  std::vector<update::FileDigest> block = blockOf(5, 1427 - 5 * 256);
  EXPECT_TRUE(isZero(block[1425 - 5 * 256]));
  EXPECT_EQ(block.back().size, fs::file_size("server/1427.rar"));
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key", "--rehash"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);

  // What a server of that kind must not look like.
  std::string first = readWholeFile("server/.vlm-first-patch");
  writeWholeFile("server/.vlm-first-patch", "1000\n");  // patches 1000 to 1426 would be published
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
  writeWholeFile("server/.vlm-first-patch", "1428\n");  // 1427 has a digest, though not published
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
  writeWholeFile("server/.vlm-first-patch", "14x\n");
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
  EXPECT_EQ(runTool("publish", {"server", "m.txt", "--key", "op.key"}), kExitFailed);
  writeWholeFile("server/.vlm-first-patch", first);
  fs::remove("server/1427.rar");
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
}

TEST(ServerInit, StartsAnUnsignedServerThatAKeyCanSignLater) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("server init", {"server", "--latest", "41"}), kExitOk);
  EXPECT_EQ(namesIn("server"), (std::vector<std::string>{".vlm-first-patch", "patch.hpl"}));
  EXPECT_EQ(readWholeFile("server/.vlm-first-patch"), "42\n");
  EXPECT_EQ(runTool("server check", {"server"}), kExitOk);

  writeStoreManifest("m.txt", {{7, "seven"}});
  ASSERT_EQ(runTool("publish", {"server", "m.txt"}), kExitOk);
  EXPECT_TRUE(fs::exists("server/42.rar"));
  EXPECT_EQ(readWholeFile("server/patch.hpl"), listAt(42));
  EXPECT_EQ(runTool("server check", {"server"}), kExitOk);
  fs::copy_file("server/42.rar", "42.rar");
  fs::remove("server/42.rar");
  EXPECT_EQ(runTool("server check", {"server"}), kExitFailed) << "a published patch is missing";
  fs::copy_file("42.rar", "server/42.rar");

  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key"}), kExitOk);
  std::vector<update::FileDigest> block = blockOf(0, 42);
  for (std::size_t i = 0; i < 41; ++i) EXPECT_TRUE(isZero(block[i])) << i + 1;
  EXPECT_EQ(block[41].size, fs::file_size("server/42.rar"));
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
}

TEST(ServerInit, RefusesADirectoryThatPublishesAnythingAndChangesNothing) {
  struct Case {
    const char* what;
    void (*prepare)();
    int code;
  } cases[] = {
      {"a patch list at 3", [] { writeWholeFile("server/patch.hpl", listAt(3)); }, kExitFailed},
      {"a patch list that publishes a Linux client",
       [] {
         update::PatchList list;
         list.of(update::LauncherPlatform::kLinux).client = 1;
         writeWholeFile("server/patch.hpl", update::encodePatchList(list));
       },
       kExitFailed},
      {"a patch archive", [] { writeWholeFile("server/7.rar", "Rar!"); }, kExitFailed},
      {"a Windows record", [] { writeWholeFile("server/release.rec", "VLMR"); }, kExitFailed},
      {"a Linux record", [] { writeWholeFile("server/release-linux.rec", "VLMR"); }, kExitFailed},
      {"a block", [] { writeWholeFile("server/release-0.blk", ""); }, kExitFailed},
      {"a server started already", [] { writeWholeFile("server/.vlm-first-patch", "9\n"); }, kExitFailed},
      {"a patch list at 0 and a file of the operator's",
       [] {
         writeWholeFile("server/patch.hpl", listAt(0));
         writeWholeFile("server/notes.txt", "notes");
       },
       kExitOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
    fs::create_directories("server");
    c.prepare();
    std::map<std::string, std::string> before = directorySnapshot("server");
    int code = -1;
    std::string output = stderrOf([&] {
      code = runTool("server init", {"server", "--latest", "10", "--key", "op.key"});
    });
    EXPECT_EQ(code, c.code) << output;
    if (c.code == kExitOk) {
      EXPECT_EQ(readWholeFile("server/.vlm-first-patch"), "11\n");
      EXPECT_EQ(readWholeFile("server/notes.txt"), "notes");
      EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
    } else {
      EXPECT_EQ(snapshotDifference(before, directorySnapshot("server")), "");
      EXPECT_NE(output.find("publishes already"), std::string::npos) << output;
    }
  }
}

TEST(ServerInit, UsageErrorsCreateNothing) {
  TempWorkDir dir;
  for (Args args : std::vector<Args>{{"server"},
                                     {"server", "--latest"},
                                     {"server", "--latest", "x"},
                                     {"server", "--latest", "-1"},
                                     {"server", "--latest", "65535"},
                                     {"server", "other", "--latest", "4"},
                                     {"server", "--latest", "4", "--expires-days", "0"}}) {
    EXPECT_EQ(runTool("server init", args), kExitUsage) << ::testing::PrintToString(args);
    EXPECT_FALSE(fs::exists("server"));
  }
}

}  // namespace
}  // namespace vlmpatch
