// The operator's side of signed releases: key files, signed publishes, and
// server check finding every kind of tampering a launcher would refuse.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/release_files.h"
#include "update/release_check.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

void publishThree(const char* key) {
  fs::create_directories("server");
  writeStoreManifest("one.txt", {{1, "first"}});
  writeStoreManifest("two.txt", {{2, "second"}});
  writeStoreManifest("three.txt", {{3, "third"}});
  writeWholeFile("client.bin", "MZ client");
  writeWholeFile("launcher.bin", "MZ launcher");
  ASSERT_EQ(runTool("publish-client", {"server", "client.bin", "--key", key}), kExitOk);
  ASSERT_EQ(runTool("publish-launcher", {"server", "launcher.bin", "--key", key}), kExitOk);
  for (const char* manifest : {"one.txt", "two.txt", "three.txt"})
    ASSERT_EQ(runTool("publish", {"server", manifest, "--key", key}), kExitOk);
}

TEST(ReleaseSigning, KeyFilesAreTheOwnersAloneAndNeverOverwritten) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  std::string first = readWholeFile("op.key");
#if !defined(_WIN32)
  EXPECT_EQ(fs::status("op.key").permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif
  EXPECT_EQ(runTool("key generate", {"op.key"}), kExitFailed);
  EXPECT_EQ(readWholeFile("op.key"), first);
  vlmpatch::SigningKey key;
  std::string error;
  ASSERT_TRUE(vlmpatch::readSigningKey("op.key", &key, &error)) << error;

  // A key file whose halves were mixed from two keys is refused.
  ASSERT_EQ(runTool("key generate", {"other.key"}), kExitOk);
  std::string mixed = first.substr(0, first.find("public ")) +
                      readWholeFile("other.key").substr(readWholeFile("other.key").find("public "));
  writeWholeFile("mixed.key", mixed);
  EXPECT_FALSE(vlmpatch::readSigningKey("mixed.key", &key, &error));
  EXPECT_NE(error.find("do not belong together"), std::string::npos) << error;
}

TEST(ReleaseSigning, ASignedServerChecksCleanAndTakesNoUnsignedPublish) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  publishThree("op.key");
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server"}), kExitOk) << "without a key the signature is not checked";
  writeStoreManifest("four.txt", {{4, "fourth"}});
  std::string list = readWholeFile("server/patch.hpl");
  EXPECT_EQ(runTool("publish", {"server", "four.txt"}), kExitFailed);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), list);
  EXPECT_FALSE(fs::exists("server/4.rar"));
}

TEST(ReleaseSigning, ServerCheckFindsEachTampering) {
  struct Case {
    const char* what;
    void (*tamper)();
  } cases[] = {
      {"a patch one byte longer", [] { writeWholeFile("server/2.rar", readWholeFile("server/2.rar") + "x"); }},
      {"a patch with one byte changed",
       [] {
         std::string bytes = readWholeFile("server/3.rar");
         bytes[bytes.size() / 2] ^= 1;
         writeWholeFile("server/3.rar", bytes);
       }},
      {"two patches swapped",
       [] {
         fs::rename("server/1.rar", "server/x.rar");
         fs::rename("server/2.rar", "server/1.rar");
         fs::rename("server/x.rar", "server/2.rar");
       }},
      {"a patch missing", [] { fs::remove("server/2.rar"); }},
      {"the client replaced", [] { writeWholeFile("server/Kelda.exe", "MZ evil"); }},
      {"the launcher replaced", [] { writeWholeFile("server/Start VLM.exe", "MZ evil"); }},
      {"the block replaced", [] { writeWholeFile("server/release-0.blk", std::string(120, '\0')); }},
      {"the patch list raised without signing",
       [] {
         std::string list = readWholeFile("server/patch.hpl");
         list[0] = 4;
         writeWholeFile("server/patch.hpl", list);
       }},
  };
  for (const Case& c : cases) {
    TempWorkDir dir;
    ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
    publishThree("op.key");
    c.tamper();
    EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed) << c.what;
  }
}

TEST(ReleaseSigning, ServerCheckRefusesAnotherKeyAnExpiredRecordAndAWrongPackage) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  ASSERT_EQ(runTool("key generate", {"stranger.key"}), kExitOk);
  publishThree("op.key");
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "stranger.key"}), kExitFailed);

  // Signed long ago with the default 30 days: expired now.
  vlmpatch::SignOptions options;
  std::string error;
  vlmpatch::SigningKey key;
  ASSERT_TRUE(vlmpatch::readSigningKey("op.key", &key, &error)) << error;
  options.keys.push_back(key);
  options.now = 1000000000;
  PatchList list;
  ASSERT_TRUE(readServerPatchList("server", &list, &error));
  ASSERT_TRUE(vlmpatch::signRelease("server", list, options, &error)) << error;
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);

  // A validly hashed and signed archive that holds the wrong package.
  writeWholeFile("server/3.rar", readWholeFile("server/1.rar"));
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key", "--rehash"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
}

TEST(ReleaseSigning, SequenceRisesAndFullBlocksAreNotHashedAgain) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  fs::create_directories("server");
  // 300 stand-in patch files: only their digests matter to the signing.
  for (int n = 1; n <= 300; ++n) writeWholeFile("server/" + std::to_string(n) + ".rar", "patch " + std::to_string(n));
  vlmpatch::SignOptions options;
  std::string error;
  vlmpatch::SigningKey key;
  ASSERT_TRUE(vlmpatch::readSigningKey("op.key", &key, &error)) << error;
  options.keys.push_back(key);
  options.now = 1900000000;
  PatchList list;
  list.latestPatch = 300;
  ASSERT_TRUE(vlmpatch::signRelease("server", list, options, &error)) << error;
  update::ReleaseRecord first;
  ASSERT_TRUE(update::decodeReleaseRecord(readWholeFile("server/release.rec"), &first, &error)) << error;
  EXPECT_EQ(first.sequence, 1900000000u);
  EXPECT_EQ(first.blockDigests.size(), 2u);

  // Patch 5 lies in the full first block: a plain signing keeps that block,
  // a rehash sees the change. The sequence rises either way, even with a
  // clock that went back.
  writeWholeFile("server/5.rar", "changed");
  options.now = 1800000000;
  ASSERT_TRUE(vlmpatch::signRelease("server", list, options, &error)) << error;
  update::ReleaseRecord second;
  ASSERT_TRUE(update::decodeReleaseRecord(readWholeFile("server/release.rec"), &second, &error)) << error;
  EXPECT_EQ(second.sequence, 1900000001u);
  EXPECT_EQ(second.blockDigests[0], first.blockDigests[0]);
  options.rehashAll = true;
  ASSERT_TRUE(vlmpatch::signRelease("server", list, options, &error)) << error;
  update::ReleaseRecord third;
  ASSERT_TRUE(update::decodeReleaseRecord(readWholeFile("server/release.rec"), &third, &error)) << error;
  EXPECT_NE(third.blockDigests[0], first.blockDigests[0]);
  EXPECT_EQ(third.blockDigests[1], first.blockDigests[1]);
}

}  // namespace
}  // namespace vlmpatch
