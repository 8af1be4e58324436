// extractPatchArchive on stored archives from our writer (both platforms:
// libarchive on Linux, the stand-in library under Wine) and on real archives
// made by the RAR archiver (Linux: the stand-in reads stored entries only).
#include "update/rar_extract.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "support/temp_dir.h"
#include "tools/rar_writer/rar_writer.h"

namespace fs = std::filesystem;

namespace {

class RarExtract : public ::testing::Test {
 protected:
  TempWorkDir work;
};

// Lists the files (not directories) under the working directory, sorted.
std::vector<std::string> filesHere() {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(".")) {
    if (!entry.is_directory()) names.push_back(fs::relative(entry.path(), ".").generic_string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct ExtractCase {
  const char* label;
  std::vector<RarEntrySpec> entries;
  const char* target;                                         // null: stored names
  std::vector<std::pair<std::string, std::string>> expected;  // every file there afterwards
};

class ExtractTable : public RarExtract, public ::testing::WithParamInterface<ExtractCase> {};

TEST_P(ExtractTable, WritesWhatItShould) {
  ASSERT_TRUE(writeStoredRar("in.rar", GetParam().entries));
  ASSERT_TRUE(update::extractPatchArchive("in.rar", GetParam().target));
  std::vector<std::string> expectedNames = {"in.rar"};
  for (const auto& file : GetParam().expected) {
    expectedNames.push_back(file.first);
    EXPECT_EQ(readWholeFile(file.first), file.second) << file.first;
  }
  std::sort(expectedNames.begin(), expectedNames.end());
  EXPECT_EQ(filesHere(), expectedNames);
}

const std::vector<ExtractCase> extractCases = {
    {"OneEntryLandsUnderTheTarget", {{"patch\\12.dat", "package", false}}, "12.dat", {{"12.dat", "package"}}},
    {"ExtEntryLandsUnderItsOwnName", {{"ext\\readme.txt", "hello", false}}, "1.dat", {{"readme.txt", "hello"}}},
    {"ExtEntryInSubdirectoriesCreatesThem",
     {{"ext\\sub\\dir\\x.dll", "dll", false}},
     "1.dat",
     {{"sub/dir/x.dll", "dll"}}},
    {"ExtInsideAWordCutsFourCharacters", {{"context.txt", "ctx", false}}, "1.dat", {{"ext.txt", "ctx"}}},
    {"OnlyDirectoriesWriteNothing", {{"ext", "", true}, {"data\\sub", "", true}}, "1.dat", {}},
    {"SeveralEntriesAllGoToTheTargetInOrder",
     {{"a.dat", "first", false}, {"b.dat", "second", false}},
     "5.dat",
     {{"5.dat", "second"}}},
    {"WithoutTargetEntriesKeepTheirNames", {{"plain.bin", "p", false}}, nullptr, {{"plain.bin", "p"}}},
    {"ExtNamesLeavingTheDirectoryAreSkipped",
     {{"ext\\..\\escape.txt", "x", false},
      {"ext\\C:\\escape.txt", "x", false},
      {"ext\\\\abs.txt", "x", false},
      {"ext/../../up.txt", "x", false},
      {"ext", "x", false},
      {"ext\\fine.txt", "ok", false}},
     "1.dat",
     {{"fine.txt", "ok"}}},
    {"StoredNamesLeavingTheDirectoryAreSkipped", {{"..\\up.bin", "x", false}}, nullptr, {}},
    // The same rule as for the names in a patch package: parts that Windows
    // reads as ".." or as a device are refused as well.
    {"ExtNamesWindowsWouldMisreadAreSkipped",
     {{"ext\\... \\x.txt", "x", false},
      {"ext\\a\\. .\\x.txt", "x", false},
      {"ext\\COM1", "x", false},
      {"ext\\sub\\nul.txt", "x", false},
      {"ext\\LPT\xB2.txt", "x", false},
      {"ext\\COM\xC2\xB9", "x", false},
      {"ext\\fine.txt", "ok", false}},
     "1.dat",
     {{"fine.txt", "ok"}}},
    // A name that runs through the package's name would make a directory
    // there, which no later package could be written over: skipped, in
    // either order and whatever the case of its letters.
    {"ExtNamesThroughThePackageNameAreSkipped",
     {{"ext\\12.dat\\x", "x", false},
      {"ext\\12.DAT/sub/y", "y", false},
      {"patch\\12.dat", "package", false},
      {"ext\\12.dat\\z", "z", false},
      {"ext\\fine.txt", "ok", false}},
     "12.dat",
     {{"12.dat", "package"}, {"fine.txt", "ok"}}},
    {"ExtNamesThroughThePackageNameInASubdirectoryAreWritten",
     {{"ext\\sub\\12.dat\\x", "x", false}, {"12.dat", "package", false}},
     "12.dat",
     {{"12.dat", "package"}, {"sub/12.dat/x", "x"}}},
};

INSTANTIATE_TEST_SUITE_P(Stored, ExtractTable, ::testing::ValuesIn(extractCases),
                         [](const ::testing::TestParamInfo<ExtractCase>& p) { return p.param.label; });

TEST_F(RarExtract, AnExtEntryReplacesAnExistingFile) {
  writeWholeFile("readme.txt", "old and longer text");
  ASSERT_TRUE(writeStoredRar("in.rar", {{"ext\\readme.txt", "new", false}}));
  ASSERT_TRUE(update::extractPatchArchive("in.rar", "1.dat"));
  EXPECT_EQ(readWholeFile("readme.txt"), "new");
}

TEST_F(RarExtract, EntriesNeverReplaceTheIndexOrAnOpenArchive) {
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 4, {{"GAME0.VFS", {{1, 0, 4}}}}));
  writeWholeFile("GAME0.VFS", "keep");
  archive::loadIndex();
  ASSERT_TRUE(archive::indexLoaded);
  std::string index = readWholeFile("data.idx");
  ASSERT_TRUE(writeStoredRar("in.rar", {{"ext\\GAME0.VFS", "x", false},
                                        {"ext\\data.idx", "x", false},
                                        {"plain.dat", "x", false},
                                        {"ext\\fine.txt", "ok", false}}));
  ASSERT_TRUE(update::extractPatchArchive("in.rar", "GAME0.VFS"));
  archive::closeArchiveSet(archive::archiveSet);
  archive::indexLoaded = false;
  EXPECT_EQ(readWholeFile("GAME0.VFS"), "keep");
  EXPECT_TRUE(readWholeFile("data.idx") == index);
  EXPECT_EQ(readWholeFile("fine.txt"), "ok");
}

// A directory at the package's name (an archive made it under an older
// launcher) is removed with all it holds, so a good archive applies.
TEST_F(RarExtract, ADirectoryLeftAtThePackageNameIsRemoved) {
  fs::create_directories("12.dat/sub/deeper");
  writeWholeFile("12.dat/x", "from a hostile archive");
  writeWholeFile("12.dat/sub/deeper/y", "y");
  fs::create_directories("12.dat/empty");
  ASSERT_TRUE(writeStoredRar("in.rar", {{"patch\\12.dat", "package", false}}));
  ::testing::internal::CaptureStdout();
  bool extracted = update::extractPatchArchive("in.rar", "12.dat");
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(extracted) << trace;
  EXPECT_EQ(readWholeFile("12.dat"), "package");
  EXPECT_EQ(filesHere(), (std::vector<std::string>{"12.dat", "in.rar"}));
}

// A package left under the target name by an earlier run that broke off is
// never taken for the one this archive gives: after the call the name holds
// this archive's package, or nothing.
struct LeftoverCase {
  const char* label;
  std::vector<RarEntrySpec> entries;
  bool cutShort;  // the archive ends inside its last entry's data
  bool extracts;
  std::vector<std::pair<std::string, std::string>> expected;  // every file there afterwards, the archive aside
};

class LeftoverPackage : public RarExtract, public ::testing::WithParamInterface<LeftoverCase> {};

TEST_P(LeftoverPackage, IsNeverTakenForThisArchives) {
  writeWholeFile("12.dat", "a package an earlier run left, longer than the new one");
  std::string archive = encodeStoredRar(GetParam().entries);
  if (GetParam().cutShort) archive.resize(archive.size() - 7 - 2);  // the end block and two bytes of data
  writeWholeFile("in.rar", archive);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(update::extractPatchArchive("in.rar", "12.dat"), GetParam().extracts);
  ::testing::internal::GetCapturedStdout();
  std::vector<std::string> expectedNames = {"in.rar"};
  for (const auto& file : GetParam().expected) {
    expectedNames.push_back(file.first);
    EXPECT_EQ(readWholeFile(file.first), file.second) << file.first;
  }
  std::sort(expectedNames.begin(), expectedNames.end());
  EXPECT_EQ(filesHere(), expectedNames);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LeftoverPackage,
    ::testing::Values(
        LeftoverCase{"ReplacedByTheArchivesPackage", {{"12.dat", "new", false}}, false, true, {{"12.dat", "new"}}},
        LeftoverCase{
            "GoneWhenTheArchiveHoldsNone", {{"ext\\fine.txt", "ok", false}}, false, true, {{"fine.txt", "ok"}}},
        LeftoverCase{"GoneWhenTheArchiveIsDamaged", {{"12.dat", "the new package", false}}, true, false, {}}),
    [](const ::testing::TestParamInfo<LeftoverCase>& p) { return p.param.label; });

#if !defined(_WIN32)
// A replaced file keeps its permissions, so an updated client that could be
// run still can.
TEST_F(RarExtract, AnExtEntryKeepsThePermissionsOfTheFileItReplaces) {
  const fs::perms runnable = static_cast<fs::perms>(0750);
  writeWholeFile("client", "old client");
  fs::permissions("client", runnable);
  ASSERT_TRUE(writeStoredRar("in.rar", {{"ext\\client", "new client", false}}));
  ASSERT_TRUE(update::extractPatchArchive("in.rar", "1.dat"));
  EXPECT_EQ(readWholeFile("client"), "new client");
  EXPECT_EQ(fs::status("client").permissions(), runnable);
}
#endif

// Damaged archives: tests/update/rar_damage_test.cpp; links planted in the
// installation: tests/update/rar_links_test.cpp.

struct UnopenableCase {
  const char* label;
  const char* contents;  // null: no file at all
};

class Unopenable : public RarExtract, public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(Unopenable, PrintsTheConsoleLineAndFails) {
  if (GetParam().contents) writeWholeFile("in.rar", GetParam().contents);
  ::testing::internal::CaptureStdout();
  bool opened = update::extractPatchArchive("in.rar", "1.dat");
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(opened);
  EXPECT_EQ(printed, "Falha ao extrair.\n");
  EXPECT_FALSE(fileExists("1.dat"));
}

INSTANTIATE_TEST_SUITE_P(Table, Unopenable,
                         ::testing::Values(UnopenableCase{"Missing", nullptr},
                                           UnopenableCase{"NotAnArchive", "<html>404 Not Found</html>"},
                                           UnopenableCase{"Empty", ""}),
                         [](const ::testing::TestParamInfo<UnopenableCase>& p) { return p.param.label; });

#if !defined(_WIN32)
// Real archives made by the RAR archiver (tests/fixtures/rar/README.md). The
// Windows tests run with a stand-in library that reads stored entries only.
std::string fixture(const char* name) { return std::string(VLM_RAR_FIXTURES) + "/" + name; }

TEST_F(RarExtract, RealRar5OneFileLandsUnderTheTarget) {
  ASSERT_TRUE(update::extractPatchArchive(fixture("rar5-one-file.rar").c_str(), "3.dat"));
  EXPECT_EQ(filesHere(), std::vector<std::string>{"3.dat"});
  EXPECT_EQ(fs::file_size("3.dat"), 1200u);
}

TEST_F(RarExtract, RealRar5FourFilesAllGoToTheTargetTheLastStays) {
  ASSERT_TRUE(update::extractPatchArchive(fixture("rar5-four-files.rar").c_str(), "4.dat"));
  EXPECT_EQ(filesHere(), std::vector<std::string>{"4.dat"});
  EXPECT_EQ(fs::file_size("4.dat"), 4096u);
  ASSERT_TRUE(update::extractPatchArchive(fixture("rar5-four-files.rar").c_str(), nullptr));
  EXPECT_EQ(filesHere(), (std::vector<std::string>{"4.dat", "test1.bin", "test2.bin", "test3.bin", "test4.bin"}));
}

TEST_F(RarExtract, RealRar4SkipsDirectoriesAndNeverCreatesLinks) {
  ASSERT_TRUE(update::extractPatchArchive(fixture("rar4-normal-dirs-symlink.rar").c_str(), "9.dat"));
  EXPECT_EQ(filesHere(), std::vector<std::string>{"9.dat"});
  EXPECT_FALSE(fs::is_symlink("9.dat"));
  ASSERT_TRUE(update::extractPatchArchive(fixture("rar4-normal-dirs-symlink.rar").c_str(), nullptr));
  EXPECT_FALSE(fs::exists(fs::symlink_status("testlink"))) << "a link entry is never created";
  EXPECT_FALSE(fs::exists("testemptydir")) << "directory entries are skipped";
  EXPECT_EQ(fs::file_size("LibarchiveAddingTest.html"), 20111u);
}
#endif

}  // namespace
