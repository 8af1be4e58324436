#include "archive/patch_apply.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "archive/index_writer.h"
#include "archive/package_writer.h"
#include "archive/storage.h"
#include "archive_fixture.h"
#include "core/planted_links.h"
#include "platform/test_hooks.h"

namespace {

struct Shown {
  std::string status;
  std::uint32_t bar;
  std::uint32_t barMax;
};

std::vector<Shown> shown;

// Stands in for the window: notes what each repaint would show.
void noteRepaint() {
  shown.push_back(
      {core::displayState.statusText, core::displayState.totalProgress, core::displayState.totalProgressMax});
}

class PatchApplyTest : public ArchiveTest {
 protected:
  void SetUp() override {
    ArchiveTest::SetUp();
    shown.clear();
    core::setRepaintHandler(noteRepaint);
    ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {}));
    archive::loadIndex();
    ASSERT_TRUE(archive::indexLoaded);
  }

  static bool apply(const archive::PatchPackageSpec& spec) {
    EXPECT_TRUE(archive::writePatchPackageFile("5.dat", spec));
    bool result = archive::applyPatchPackage("5.dat");
    EXPECT_FALSE(fileExists("5.dat"));
    return result;
  }

  static archive::PatchPackageSpec package(std::uint8_t type, std::uint16_t version,
                                           std::vector<archive::PackageItemSpec> items) {
    archive::PatchPackageSpec spec;
    spec.seed = 0x5A;
    spec.version = version;
    spec.type = type;
    spec.items = std::move(items);
    return spec;
  }
};

TEST_F(PatchApplyTest, KeyedItemsGoToTheArchivesAndTheIndexIsSaved) {
  ASSERT_TRUE(apply(package(1, 2, {{10, "", "alpha"}, {11, "", "beta"}, {12, "", ""}, {10, "", "ALPHA"}})));
  EXPECT_EQ(archive::archiveSet.baseVersion, 2u);
  EXPECT_EQ(readWholeFile("GAME0.VFS"), "alphabetaALPHA");
  EXPECT_TRUE(readWholeFile("data.idx") ==
              archive::encodeIndex(2, {{"GAME0.VFS", {{11, 5, 4}, {12, 9, 0}, {10, 9, 5}}}}));
  ASSERT_EQ(shown.size(), 4u);
  const char* lines[] = {"Extracting files. 25%", "Extracting files. 50%", "Extracting files. 75%",
                         "Extracting files. 100%"};
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(shown[i].status, lines[i]);
    EXPECT_EQ(shown[i].bar, 25u * (i + 1));
    EXPECT_EQ(shown[i].barMax, 100u);
  }
}

TEST_F(PatchApplyTest, TextRoundsHalvesUpWhileTheBarIsCut) {
  ASSERT_TRUE(apply(package(2, 3, std::vector<archive::PackageItemSpec>(3))));
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].status, "Extracting files. 33%");
  EXPECT_EQ(shown[1].status, "Extracting files. 67%");
  EXPECT_EQ(shown[1].bar, 66u);
  EXPECT_EQ(shown[2].status, "Extracting files. 100%");
  EXPECT_EQ(shown[2].bar, 100u);
  shown.clear();
  ASSERT_TRUE(apply(package(0, 3, std::vector<archive::PackageItemSpec>(8))));
  ASSERT_EQ(shown.size(), 8u);
  EXPECT_EQ(shown[0].status, "Extracting files. 13%");
  EXPECT_EQ(shown[0].bar, 12u);
}

// A package of many items moves the display only when what it shows
// changes: the window's lock is a kernel mutex on Windows (a round trip to
// the Wine server under Wine), too dear to take once per item of 100,000.
TEST_F(PatchApplyTest, ManyItemsShowEachPercentageOnceInOrder) {
  for (std::uint8_t type : {1, 2}) {
    SCOPED_TRACE("type " + std::to_string(type));
    shown.clear();
    std::vector<archive::PackageItemSpec> items(1000);
    for (std::size_t i = 0; i < items.size(); ++i) items[i].key = static_cast<std::uint32_t>(100 + i);
    ASSERT_TRUE(apply(package(type, 4, items)));
    // Each of 101 lines and 101 bar values starts at most one picture.
    EXPECT_LE(shown.size(), 202u);
    std::set<std::string> lines;
    std::set<std::uint32_t> bars;
    std::size_t repeated = 0, backwards = 0;
    for (std::size_t i = 0; i < shown.size(); ++i) {
      lines.insert(shown[i].status);
      bars.insert(shown[i].bar);
      if (i == 0) continue;
      if (shown[i].status == shown[i - 1].status && shown[i].bar == shown[i - 1].bar) ++repeated;
      if (shown[i].bar < shown[i - 1].bar) ++backwards;
    }
    EXPECT_EQ(repeated, 0u);
    EXPECT_EQ(backwards, 0u);
    EXPECT_EQ(lines.size(), 101u);
    EXPECT_EQ(bars.size(), 101u);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.front().status, "Extracting files. 0%");
    EXPECT_EQ(shown.back().status, "Extracting files. 100%");
    EXPECT_EQ(shown.back().bar, 100u);
  }
}

TEST_F(PatchApplyTest, AnUnsupportedLanguageLeavesOnlyThePercentage) {
  core::languageSetting = 3;
  ASSERT_TRUE(apply(package(2, 3, std::vector<archive::PackageItemSpec>(2))));
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[0].status, "50%");
}

TEST_F(PatchApplyTest, AnEmptyPackageSetsTheVersionAndWritesTheIndex) {
  ASSERT_TRUE(apply(package(1, 0x0203, {})));
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(archive::archiveSet.baseVersion, 0x0203u);
  EXPECT_EQ(hex(readWholeFile("data.idx")), "03 02 00 00 2D");
}

TEST_F(PatchApplyTest, TypeTwoMovesProgressOnlyAndAVersionMayGoDown) {
  archive::archiveSet.baseVersion = 50;
  ASSERT_TRUE(apply(package(2, 4, {{1, "", "data"}, {2, "", "more"}})));
  EXPECT_EQ(archive::archiveSet.archiveCount, 0);
  EXPECT_FALSE(fileExists("GAME0.VFS"));
  EXPECT_EQ(shown.size(), 2u);
  EXPECT_EQ(archive::archiveSet.baseVersion, 4u);
  EXPECT_EQ(hex(readWholeFile("data.idx")), "04 00 00 00 2D");
}

TEST_F(PatchApplyTest, TypeThreeWritesFilesCreatingDirectories) {
  std::string big(3 << 20, '\0');  // larger than one copy chunk
  for (std::size_t k = 0; k < big.size(); ++k) big[k] = static_cast<char>(k * 13 % 256);
  ASSERT_TRUE(apply(package(3, 6, {{0, "new\\dir/file.bin", "content"}, {0, "empty.txt", ""}, {0, "big.bin", big}})));
  EXPECT_EQ(readWholeFile("new/dir/file.bin"), "content");
  EXPECT_TRUE(fileExists("empty.txt"));
  EXPECT_EQ(readWholeFile("empty.txt"), "");
  EXPECT_TRUE(readWholeFile("big.bin") == big);
  EXPECT_EQ(archive::archiveSet.baseVersion, 6u);
}

TEST_F(PatchApplyTest, TypeFourDeletesWhatExistsAndSkipsWhatDoesNot) {
  writeWholeFile("old.txt", "x");
  platform::createDirectory("sub");
  writeWholeFile("sub/old2.txt", "y");
  ASSERT_TRUE(apply(package(4, 7, {{0, "old.txt", "ignored"}, {0, "absent.txt", ""}, {0, "sub\\old2.txt", ""}})));
  EXPECT_FALSE(fileExists("old.txt"));
  EXPECT_FALSE(fileExists("sub/old2.txt"));
  EXPECT_EQ(shown.size(), 3u);
}

TEST_F(PatchApplyTest, LargeKeyedDataIsStoredExactly) {
  std::string big((5 << 20) + 77, '\0');
  for (std::size_t k = 0; k < big.size(); ++k) big[k] = static_cast<char>(k * 31 % 253);
  ASSERT_TRUE(apply(package(1, 8, {{1, "", "head"}, {2, "", big}})));
  EXPECT_TRUE(readWholeFile("GAME0.VFS") == "head" + big);
}

TEST_F(PatchApplyTest, AFailingThirdItemKeepsTheFirstTwoAndTheOldIndex) {
  std::string indexBefore = readWholeFile("data.idx");
  ASSERT_FALSE(
      apply(package(3, 9, {{0, "one.txt", "1"}, {0, "two.txt", "2"}, {0, "../three.txt", "3"}, {0, "four.txt", "4"}})));
  EXPECT_EQ(readWholeFile("one.txt"), "1");
  EXPECT_EQ(readWholeFile("two.txt"), "2");
  EXPECT_FALSE(fileExists("../three.txt"));
  EXPECT_FALSE(fileExists("four.txt"));
  EXPECT_EQ(archive::archiveSet.baseVersion, 1u);
  EXPECT_TRUE(readWholeFile("data.idx") == indexBefore);
  EXPECT_EQ(shown.size(), 2u);
}

TEST_F(PatchApplyTest, AFailedArchiveWriteFailsTheItem) {
  ASSERT_TRUE(apply(package(1, 2, {{1, "", "first"}})));
  std::string indexBefore = readWholeFile("data.idx");
  archive::Archive& archive = *archive::archiveSet.archives[0]->archive;
  // Every write to the archive fails, as on a full disk.
  static platform::FileHandle failing;
  failing = archive.file.get();
  const platform::FileSystemHooks archiveWritesFail = {
      [](platform::FileHandle file, std::uint64_t, std::size_t) { return file == failing; }, nullptr, nullptr};
  platform::setFileSystemHooks(&archiveWritesFail);
  EXPECT_FALSE(apply(package(1, 3, {{1, "", "second"}})));
  platform::setFileSystemHooks(nullptr);
  EXPECT_EQ(archive::archiveSet.baseVersion, 2u);
  EXPECT_TRUE(readWholeFile("data.idx") == indexBefore);
  ASSERT_EQ(archive::liveEntries(archive).size(), 1u);
  EXPECT_EQ(archive.entries[0].size, 5u);
}

TEST_F(PatchApplyTest, NamesLeavingTheInstallationFailTheItem) {
  const char* names[] = {"../escape.txt", "..\\escape.txt", "a/../../escape.txt",   "/tmp/vlm-escape.txt",
                         "C:escape.txt",  "C:\\escape.txt", "\\\\server\\share\\x", "\\\\.\\NUL"};
  for (std::uint8_t type : {3, 4}) {
    for (const char* name : names) {
      SCOPED_TRACE(std::string(name) + " type " + std::to_string(type));
      EXPECT_FALSE(apply(package(type, 9, {{0, name, "x"}})));
      EXPECT_EQ(archive::archiveSet.baseVersion, 1u);
    }
  }
  EXPECT_FALSE(fileExists("../escape.txt"));
  EXPECT_FALSE(fileExists("/tmp/vlm-escape.txt"));
}

// The launcher writes the index and the archives itself, so an item naming
// one of them is skipped rather than stuck failing on every run: deleting an
// open archive fails on Windows and a written "data.idx" is overwritten by
// the index save. Only a write onto an archive in use would destroy data
// and fails, as it does on Windows.
struct OwnFileCase {
  std::uint8_t type;
  const char* name;
  bool applies;
};

const OwnFileCase kOwnFileCases[] = {
    {3, "GAME0.VFS", false},  // open
    {3, "game0.vfs", false},   {3, ".\\GAME0.VFS", false}, {3, "GAME0.VFS. ", false},
    {3, "GAME2.VFS", false},  // there, but held by another process, so not open here
    {3, "game2.vfs", false},   {3, "data.idx", true},      {3, "DATA.IDX", true},
    {3, "data.idx.new", true}, {3, "GAME1.VFS", true},  // neither open nor there
    {3, "game1.vfs", true},    {4, "GAME0.VFS", true},     {4, "game0.vfs", true},
    {4, ".\\GAME0.VFS", true}, {4, "GAME2.VFS", true},     {4, "data.idx", true},
    {4, "DATA.IDX", true},     {4, "data.idx.new", true},  {4, "GAME1.VFS", true},
};

TEST_F(PatchApplyTest, ItemsNamingTheIndexOrAnArchiveAreSkippedUnlessTheyWouldOverwriteOne) {
  archive::closeArchiveSet(archive::archiveSet);
  const std::vector<archive::IndexArchiveSpec> archives = {
      {"GAME0.VFS", {{1, 0, 11}}}, {"GAME1.VFS", {}}, {"GAME2.VFS", {}}};
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, archives));
  writeWholeFile("GAME0.VFS", "stored data");
  writeWholeFile("GAME2.VFS", "held archive");
  platform::FileHandle holder = platform::openFileForExclusiveUpdate("GAME2.VFS");  // as another process would
  ASSERT_NE(holder, platform::kNoFile);
  archive::loadIndex();
  ASSERT_EQ(archive::archiveSet.archiveCount, 3);
  ASSERT_FALSE(archive::archiveSet.archives[2]->archive->file.isOpen());

  std::uint32_t version = 1;
  for (const OwnFileCase& c : kOwnFileCases) {
    SCOPED_TRACE(std::string(c.name) + " type " + std::to_string(c.type));
    ::testing::internal::CaptureStdout();
    bool applied = apply(package(c.type, 9, {{0, c.name, "x"}}));
    std::string trace = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(applied, c.applies);
    EXPECT_NE(trace.find(c.name), std::string::npos) << "the trace names the item: " << trace;
    if (applied) version = 9;
    EXPECT_EQ(archive::archiveSet.baseVersion, version);
    EXPECT_EQ(readWholeFile("GAME0.VFS"), "stored data");
    EXPECT_EQ(readWholeFile("GAME2.VFS"), "held archive");
    EXPECT_FALSE(fileExists("GAME1.VFS"));
    EXPECT_FALSE(fileExists("data.idx.new"));
    EXPECT_TRUE(readWholeFile("data.idx") == archive::encodeIndex(version, archives));
  }
  platform::closeFile(holder);
  // A name that merely resembles one is an ordinary file.
  EXPECT_TRUE(apply(package(3, 9, {{0, "GAME0.VFS.txt", "x"}})));
  EXPECT_EQ(readWholeFile("GAME0.VFS.txt"), "x");
}

// A player's account can often write the game folder while the launcher runs
// with administrator rights; a link planted there must never carry a write
// or a delete outside the installation.
struct LinkedItemCase {
  LinkKind kind;
  const char* target;  // what inst/lnk points at
  std::uint8_t type;
  const char* name;
};

const LinkedItemCase kLinkedItemCases[] = {
    {LinkKind::kDirectory, "outside", 3, "lnk\\victim"},     {LinkKind::kDirectory, "outside", 3, "lnk\\new\\made.txt"},
    {LinkKind::kDirectory, "outside", 4, "lnk\\victim"},     {LinkKind::kJunction, "outside", 3, "lnk\\victim"},
    {LinkKind::kJunction, "outside", 3, "lnk/new/made.txt"}, {LinkKind::kJunction, "outside", 4, "lnk/victim"},
    {LinkKind::kFile, "outside/victim", 3, "lnk"},           {LinkKind::kFile, "outside/victim", 4, "lnk"},
    {LinkKind::kDangling, "outside/made.txt", 3, "lnk"},     {LinkKind::kDangling, "outside/made.txt", 4, "lnk"},
};

TEST_F(PatchApplyTest, ItemsThroughALinkFailAndLeaveEverythingOutsideUntouched) {
  int planted = 0;
  for (const LinkedItemCase& c : kLinkedItemCases) {
    SCOPED_TRACE(std::string(linkKindName(c.kind)) + " " + c.name + " type " + std::to_string(c.type));
    TempWorkDir besideInstallation;
    LinkPlanter links;  // goes before the directory holding its links
    std::filesystem::create_directories("inst");
    std::filesystem::create_directories("outside");
    writeWholeFile("outside/victim", "outside data");
    if (!links.plant(c.kind, "inst/lnk", c.target)) {
      noteUnplantable(c.kind);
      continue;
    }
    ++planted;
    std::filesystem::current_path("inst");
    archive::closeArchiveSet(archive::archiveSet);
    ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {}));
    archive::loadIndex();
    ::testing::internal::CaptureStdout();
    bool applied = apply(package(c.type, 9, {{0, c.name, "x"}}));
    std::string trace = ::testing::internal::GetCapturedStdout();
    // A link the system cannot see at all (a dangling Unix link under Wine)
    // cannot be told from a missing name: deleting it finds nothing there.
    if (linkIsVisible(c.kind) || c.type == 3) {
      EXPECT_FALSE(applied);
      EXPECT_NE(trace.find(c.name), std::string::npos) << "the trace names the item: " << trace;
      EXPECT_EQ(archive::archiveSet.baseVersion, 1u);
    }
    if (linkIsVisible(c.kind)) {
      EXPECT_TRUE(platform::nameCrossesLink("lnk")) << "the link itself stays";
    }
    std::filesystem::current_path("..");
    EXPECT_EQ(readWholeFile("outside/victim"), "outside data");
    std::vector<std::string> outside;
    for (const auto& entry : std::filesystem::recursive_directory_iterator("outside"))
      outside.push_back(entry.path().generic_string());
    EXPECT_EQ(outside, std::vector<std::string>{"outside/victim"});
  }
  EXPECT_GT(planted, 0) << "no kind of link could be planted here";
}

TEST_F(PatchApplyTest, ItemsBesideALinkAreAppliedAsUsual) {
  std::filesystem::create_directories("real");
  writeWholeFile("real/old.txt", "old");
  LinkPlanter links;
  ASSERT_TRUE(links.plant(LinkKind::kDirectory, "lnk", "real") || links.plant(LinkKind::kJunction, "lnk", "real"));
  ASSERT_TRUE(apply(package(3, 9, {{0, "real\\new\\made.txt", "x"}, {0, "lnkish.txt", "y"}})));
  ASSERT_TRUE(apply(package(4, 10, {{0, "real\\old.txt", ""}})));
  EXPECT_EQ(readWholeFile("real/new/made.txt"), "x");
  EXPECT_EQ(readWholeFile("lnkish.txt"), "y");
  EXPECT_FALSE(fileExists("real/old.txt"));
}

TEST_F(PatchApplyTest, AMalformedPackageAppliesNothingAndIsDeleted) {
  std::string good = archive::encodePatchPackage(package(3, 9, {{0, "a.txt", "abc"}, {0, "b.txt", "def"}}));
  writeWholeFile("5.dat", good.substr(0, good.size() - 1));
  EXPECT_FALSE(archive::applyPatchPackage("5.dat"));
  EXPECT_FALSE(fileExists("5.dat"));
  EXPECT_FALSE(fileExists("a.txt"));
  EXPECT_TRUE(shown.empty());
  EXPECT_EQ(archive::archiveSet.baseVersion, 1u);
}

TEST_F(PatchApplyTest, AMissingPackageFails) {
  EXPECT_FALSE(archive::applyPatchPackage("77.dat"));
  EXPECT_FALSE(fileExists("77.dat"));
  EXPECT_EQ(archive::archiveSet.baseVersion, 1u);
}

TEST_F(PatchApplyTest, SuccessiveInstallationsInOneProcessStartClean) {
  ASSERT_TRUE(apply(package(1, 2, {{1, "", "x"}})));
  archive::closeArchiveSet(archive::archiveSet);
  EXPECT_EQ(archive::archiveSet.archiveCount, 0);
  archive::loadIndex();
  ASSERT_EQ(archive::archiveSet.archiveCount, 1);
  ASSERT_TRUE(apply(package(1, 3, {{1, "", "yy"}})));
  EXPECT_EQ(readWholeFile("GAME0.VFS"), "xyy");
  EXPECT_TRUE(readWholeFile("data.idx") == archive::encodeIndex(3, {{"GAME0.VFS", {{1, 1, 2}}}}));
}

}  // namespace
