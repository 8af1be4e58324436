#include <gtest/gtest.h>

#include <filesystem>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "platform/file.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/install_check.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

struct CheckCase {
  const char* what;
  std::vector<archive::IndexArchiveSpec> archives;
  std::vector<std::pair<std::string, std::size_t>> files;  // archive files and their sizes
  std::size_t problems;
  std::uint64_t unreferenced;
};

CheckReport checkOf(const CheckCase& c) {
  TempWorkDir dir;
  for (const auto& [name, size] : c.files) writeWholeFile(name, std::string(size, 'x'));
  EXPECT_TRUE(archive::writeIndexFile("data.idx", 3, c.archives));
  archive::ArchiveSet set;
  std::string error;
  EXPECT_TRUE(readInstallIndex(&set, &error)) << error;
  return checkInstallation(set);
}

TEST(IndexCheck, FindsWhatMakesAnInstallationUnsoundAndCountsReplacedBytes) {
  const CheckCase cases[] = {
      {"sound", {{"GAME0.VFS", {{1, 0, 10}, {2, 10, 5}}}}, {{"GAME0.VFS", 15}}, 0, 0},
      {"replaced bytes",
       {{"GAME0.VFS", {{1, 20, 10}}}, {"GAME1.VFS", {{2, 0, 4}}}},
       {{"GAME0.VFS", 30}, {"GAME1.VFS", 10}},
       0,
       26},
      {"entry beyond the end", {{"GAME0.VFS", {{1, 0, 10}, {2, 8, 5}}}}, {{"GAME0.VFS", 12}}, 1, 0},
      {"offset near 4 GiB", {{"GAME0.VFS", {{1, 0xFFFFFFF0u, 0x20}}}}, {{"GAME0.VFS", 4}}, 1, 4},
      {"key in two archives", {{"A.VFS", {{7, 0, 1}}}, {"B.VFS", {{7, 0, 1}}}}, {{"A.VFS", 1}, {"B.VFS", 1}}, 1, 0},
      {"name leaves the installation", {{"..\\GAME0.VFS", {}}}, {}, 1, 0},
      {"name listed twice", {{"A.VFS", {}}, {"A.VFS", {}}}, {{"A.VFS", 0}}, 1, 0},
      {"archive missing", {{"GAME0.VFS", {{1, 0, 1}}}}, {}, 1, 0},
      {"empty archive missing", {{"GAME0.VFS", {}}}, {}, 0, 0},
      {"overlapping entries", {{"GAME0.VFS", {{1, 0, 10}, {2, 5, 10}}}}, {{"GAME0.VFS", 20}}, 0, 5},
  };
  for (const CheckCase& c : cases) {
    CheckReport report = checkOf(c);
    EXPECT_EQ(report.problems.size(), c.problems)
        << c.what << (report.problems.empty() ? "" : ": " + report.problems[0]);
    EXPECT_EQ(report.unreferencedTotal, c.unreferenced) << c.what;
  }
}

TEST(IndexCheck, ExitCodeTellsWhetherTheInstallationIsSound) {
  TempWorkDir dir;
  fs::create_directories("good");
  fs::create_directories("bad");
  writeWholeFile("good/GAME0.VFS", "abcd");
  ASSERT_TRUE(archive::writeIndexFile("good/data.idx", 1, {{"GAME0.VFS", {{1, 0, 4}}}}));
  writeWholeFile("bad/GAME0.VFS", "ab");
  ASSERT_TRUE(archive::writeIndexFile("bad/data.idx", 1, {{"GAME0.VFS", {{1, 0, 4}}}}));
  writeWholeFile("bad/damaged.idx", "\x01\x00");
  EXPECT_EQ(runTool("index check", {"good"}), kExitOk);
  EXPECT_EQ(runTool("index show", {"good"}), kExitOk);
  EXPECT_EQ(runTool("index check", {"bad"}), kExitFailed);
  EXPECT_EQ(runTool("index check", {"nowhere"}), kExitFailed);
  fs::create_directories("damaged");
  writeWholeFile("damaged/data.idx", std::string("\x01\x00\x00\x00\x2C\x05GA", 8));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runTool("index check", {"damaged"}), kExitFailed);
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("data.idx is damaged: archive 0: ends within the name (2 of 5 bytes)"), std::string::npos)
      << "the damaged record is named: " << said;
}

TEST(Apply, PatchesAnInstallationOfflineAndKeepsTheOperatorsPackage) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("index init", {"install"}), kExitOk);
  EXPECT_EQ(runTool("index init", {"install"}), kExitFailed) << "never over an existing index";
  writeStoreManifest("m1.txt", {{1, "one"}, {2, "two"}});
  writeStoreManifest("m2.txt", {{2, "TWO"}, {3, "three"}});
  ASSERT_EQ(runTool("package build", {"m1.txt", "-o", "p1.dat", "--version", "1"}), kExitOk);
  ASSERT_EQ(runTool("package build", {"m2.txt", "-o", "p2.dat", "--version", "2"}), kExitOk);
  ASSERT_EQ(runTool("apply", {"install", "p1.dat", "p2.dat"}), kExitOk);
  EXPECT_TRUE(fileExists("p1.dat"));
  EXPECT_TRUE(fileExists("p2.dat"));
  auto contents = installationContents("install");
  EXPECT_EQ(contents, (std::map<std::uint32_t, std::string>{{1, "one"}, {2, "TWO"}, {3, "three"}}));
  EXPECT_EQ(runTool("index check", {"install"}), kExitOk);

  // An index that cannot be written (its temporary name is taken by a
  // directory) is reported, not passed over.
  fs::create_directory("install/data.idx.new");
  writeStoreManifest("m3.txt", {{4, "four"}});
  ASSERT_EQ(runTool("package build", {"m3.txt", "-o", "p3.dat", "--version", "3"}), kExitOk);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runTool("apply", {"install", "p3.dat"}), kExitFailed);
  std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("p3.dat: data.idx.new cannot be created: "), std::string::npos) << said;
  fs::remove("install/data.idx.new");

  writeWholeFile("broken.dat", "\x05\x02");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(runTool("apply", {"install", "broken.dat"}), kExitFailed);
  said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("(ends within the header (2 of 6 bytes))"), std::string::npos) << said;
  EXPECT_EQ(installationContents("install"), contents) << "a failed package changes nothing listed";
  EXPECT_EQ(runTool("apply", {"install", "p3.dat"}), kExitOk);
}

// An installation at version 1 holding key 1, with its one archive's name.
std::string patchedInstallation() {
  EXPECT_EQ(runTool("index init", {"install"}), kExitOk);
  writeStoreManifest("m1.txt", {{1, "one"}});
  writeStoreManifest("m2.txt", {{2, "two"}});
  EXPECT_EQ(runTool("package build", {"m1.txt", "-o", "p1.dat", "--version", "1"}), kExitOk);
  EXPECT_EQ(runTool("package build", {"m2.txt", "-o", "p2.dat", "--version", "2"}), kExitOk);
  EXPECT_EQ(runTool("apply", {"install", "p1.dat"}), kExitOk);
  archive::ArchiveSet set;
  EXPECT_TRUE(archive::readIndexFile("install/data.idx", set));
  return set.archives.empty() ? std::string() : set.archives[0]->name;
}

TEST(Apply, RemovesTheWorkingCopyAnEarlierApplyLeftBehind) {
  TempWorkDir dir;
  patchedInstallation();
  writeWholeFile("install/vlm-patch-apply.dat", "half of a package from an apply that ended half-way");
  // A package that cannot even be copied in: the apply stops before it
  // would use the working copy's name itself.
  fs::create_directory("not-a-package.dat");
  EXPECT_EQ(runTool("apply", {"install", "not-a-package.dat"}), kExitFailed);
  EXPECT_FALSE(fileExists("install/vlm-patch-apply.dat"));
  EXPECT_EQ(runTool("apply", {"install", "p2.dat"}), kExitOk);
  EXPECT_FALSE(fileExists("install/vlm-patch-apply.dat"));
}

TEST(Apply, LeavesAnInstallationAloneWhileAnotherProgramHoldsItsArchives) {
  TempWorkDir dir;
  std::string archive = patchedInstallation();
  ASSERT_FALSE(archive.empty());
  writeWholeFile("install/vlm-patch-apply.dat", "the working copy of an apply at work");
  // Held as a launcher or another vlm-patch holds it.
  platform::FileHandle held = platform::openFileForExclusiveUpdate(("install/" + archive).c_str());
  ASSERT_NE(held, platform::kNoFile);
  EXPECT_EQ(runTool("apply", {"install", "p2.dat"}), kExitFailed);
  platform::closeFile(held);
  EXPECT_EQ(readWholeFile("install/vlm-patch-apply.dat"), "the working copy of an apply at work");
  EXPECT_EQ(installationContents("install"), (std::map<std::uint32_t, std::string>{{1, "one"}}));
}

}  // namespace
}  // namespace vlmpatch
