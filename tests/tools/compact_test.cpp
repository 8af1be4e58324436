#include "tools/vlm_patch/compact.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "archive/index.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/install_check.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

TEST(CompactedArchiveName, RaisesTheGenerationTagAndStaysShort) {
  const std::pair<const char*, const char*> cases[] = {
      {"GAME0.VFS", "GAME0~1.VFS"}, {"GAME0~1.VFS", "GAME0~2.VFS"}, {"GAME0~9.VFS", "GAME0~10.VFS"},
      {"DATA", "DATA~1"},           {"A~B.VFS", "A~B~1.VFS"},       {"ABCDEFGHIJKLMNOPQRSTUVWXYZ1.VFS", "C4~1.VFS"},
  };
  for (const auto& [name, expected] : cases) EXPECT_EQ(compactedArchiveName(name, 4), expected) << name;
}

// An installation whose archives hold replaced files: three packages, the
// later ones replacing some keys of the earlier ones.
std::map<std::uint32_t, std::string> makeReplacedInstallation() {
  EXPECT_EQ(runTool("index init", {"install"}), kExitOk);
  std::map<std::uint32_t, std::string> latest;
  for (int round = 0; round < 3; ++round) {
    std::map<std::uint32_t, std::string> files;
    for (std::uint32_t key = 1; key <= 6; ++key) {
      if (round > 0 && key % 2 == 0) continue;
      files[key] = bytesOf(3000 + key * 100 + static_cast<std::uint32_t>(round) * 7, static_cast<char>('a' + round));
      latest[key] = files[key];
    }
    std::string manifest = "m" + std::to_string(round) + ".txt";
    std::string package = "p" + std::to_string(round) + ".dat";
    writeStoreManifest(manifest, files);
    EXPECT_EQ(runTool("package build", {manifest, "-o", package, "--version", std::to_string(round + 1)}), kExitOk);
    EXPECT_EQ(runTool("apply", {"install", package}), kExitOk);
  }
  return latest;
}

TEST(Compact, DropsReplacedBytesAndKeepsEveryKeysContent) {
  TempWorkDir dir;
  auto expected = makeReplacedInstallation();
  ASSERT_EQ(installationContents("install"), expected);
  std::uint64_t before = fs::file_size("install/GAME0.VFS");

  ASSERT_EQ(runTool("compact", {"install"}), kExitOk);
  EXPECT_EQ(installationContents("install"), expected);
  EXPECT_FALSE(fileExists("install/GAME0.VFS")) << "the old archive is gone";
  ASSERT_TRUE(fileExists("install/GAME0~1.VFS"));
  std::uint64_t sum = 0;
  for (const auto& [key, bytes] : expected) sum += bytes.size();
  EXPECT_EQ(fs::file_size("install/GAME0~1.VFS"), sum);
  EXPECT_LT(sum, before);
  EXPECT_EQ(runTool("index check", {"install"}), kExitOk);

  // Nothing left to drop: a second run changes nothing.
  ASSERT_EQ(runTool("compact", {"install"}), kExitOk);
  EXPECT_TRUE(fileExists("install/GAME0~1.VFS"));
  EXPECT_FALSE(fileExists("install/GAME0~2.VFS"));

  // The launcher goes on storing into the compacted installation.
  writeStoreManifest("m9.txt", {{1, "after compaction"}});
  ASSERT_EQ(runTool("package build", {"m9.txt", "-o", "p9.dat", "--version", "9"}), kExitOk);
  ASSERT_EQ(runTool("apply", {"install", "p9.dat"}), kExitOk);
  expected[1] = "after compaction";
  EXPECT_EQ(installationContents("install"), expected);
}

TEST(Compact, RefusesArchivesInUseAndChangesNothing) {
  TempWorkDir dir;
  auto expected = makeReplacedInstallation();
  std::string index = readWholeFile("install/data.idx");
  // The launcher holds its archives while it runs.
  fs::current_path("install");
  archive::loadIndex();
  fs::current_path("..");
  ASSERT_TRUE(archive::indexLoaded);
  EXPECT_EQ(runTool("compact", {"install"}), kExitFailed);
  EXPECT_EQ(readWholeFile("install/data.idx"), index);
  EXPECT_FALSE(fileExists("install/GAME0~1.VFS"));
  archive::closeArchiveSet(archive::archiveSet);
  archive::indexLoaded = false;
  EXPECT_EQ(runTool("compact", {"install"}), kExitOk);
  EXPECT_EQ(installationContents("install"), expected);
}

TEST(Compact, RefusesAnUnsoundInstallationAndChangesNothing) {
  TempWorkDir dir;
  auto expected = makeReplacedInstallation();
  fs::resize_file("install/GAME0.VFS", 100);
  std::string index = readWholeFile("install/data.idx");
  EXPECT_EQ(runTool("compact", {"install"}), kExitFailed);
  EXPECT_EQ(readWholeFile("install/data.idx"), index);
  EXPECT_FALSE(fileExists("install/GAME0~1.VFS"));
}

}  // namespace
}  // namespace vlmpatch
