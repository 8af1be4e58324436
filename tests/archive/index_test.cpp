#include "archive/index.h"

#include <gtest/gtest.h>

#include "archive/index_writer.h"
#include "archive/storage.h"
#include "archive_fixture.h"
#include "core/planted_links.h"
#include "platform/test_hooks.h"

namespace {

using IndexTest = ArchiveTest;

const std::vector<archive::FileEntry> kTwoEntries = {{0x11112222, 0, 0x100}, {0x33334444, 0x100, 0x20}};

TEST_F(IndexTest, TwoEntriesEncodeToThePublishedBytes) {
  std::string encoded = archive::encodeIndex(7, {{"A.VFS", kTwoEntries}});
  std::string expected = bytes({7, 0, 0, 0, 1 ^ 0x2D, 5, 'A', '.', 'V', 'F', 'S', 2, 0, 0, 0});
  expected += bytes({0x22, 0x22, 0x11, 0x11, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00,
                     0x45, 0x88, 0x33, 0x33, 0x01, 0xC7, 0x00, 0x00, 0x21, 0xF0, 0x00, 0x00});
  EXPECT_EQ(hex(encoded), hex(expected));
}

TEST_F(IndexTest, OnlyTheLowSixteenBitsOfAFieldAreMasked) {
  std::string encoded = archive::encodeIndex(0, {{"A", {{0, 0, 0}, {0, 0x00010100, 0}}}});
  // entry 1's offset: 0x00010100 XOR 0xC601 = 0x0001C701
  EXPECT_EQ(hex(encoded.substr(5 + 2 + 4 + 12 + 4, 4)), "01 C7 01 00");
}

TEST_F(IndexTest, LoadsArchivesEntriesAndVersion) {
  writeWholeFile("GAME0.VFS", std::string(0x120, 'x'));
  writeWholeFile("GAME1.VFS", "");
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 42, {{"GAME0.VFS", kTwoEntries}, {"GAME1.VFS", {}}}));
  archive::loadIndex();
  ASSERT_TRUE(archive::indexLoaded);
  EXPECT_EQ(archive::installedVersion, 42u);
  EXPECT_EQ(archive::archiveSet.baseVersion, 42u);
  EXPECT_EQ(archive::archiveSet.indexPath, "data.idx");
  ASSERT_EQ(archive::archiveSet.archiveCount, 2);
  ASSERT_EQ(archive::archiveSet.archives.size(), 2u);
  EXPECT_EQ(archive::archiveSet.archives[0]->name, "GAME0.VFS");
  EXPECT_EQ(archive::archiveSet.archives[0]->archive->name, "GAME0.VFS");
  EXPECT_TRUE(archive::archiveSet.archives[0]->archive->file.isOpen());
  ASSERT_EQ(archive::archiveSet.archives[0]->archive->entries.size(), 2u);
  EXPECT_EQ(archive::archiveSet.archives[0]->archive->entries[1].key, 0x33334444u);
  EXPECT_EQ(archive::archiveSet.archives[0]->archive->entries[1].offset, 0x100u);
  EXPECT_EQ(archive::archiveSet.archives[0]->archive->entries[1].size, 0x20u);
  EXPECT_TRUE(archive::archiveSet.archives[1]->archive->entries.empty());
}

TEST_F(IndexTest, AnUnchangedSetIsSavedByteForByte) {
  std::vector<archive::IndexArchiveSpec> archives;
  for (int a = 0; a < 70; ++a) {  // past 64 archives, so the entry-count masks wrap
    archive::IndexArchiveSpec spec{"GAME" + std::to_string(a) + ".VFS", {}};
    for (std::uint32_t n = 0; n < static_cast<std::uint32_t>(a % 37); ++n)
      spec.entries.push_back({a * 1000u + n * 0x10001u, n * 0x1234567u, n * 0x89ABu});
    archives.push_back(spec);
  }
  std::string original = archive::encodeIndex(0xDEADBEEF, archives);
  writeWholeFile("data.idx", original);
  archive::loadIndex();
  ASSERT_TRUE(archive::indexLoaded);
  ASSERT_TRUE(archive::saveIndex(archive::archiveSet).ok());
  EXPECT_TRUE(readWholeFile("data.idx") == original);
  EXPECT_FALSE(fileExists(archive::kIndexTempFileName));
}

TEST_F(IndexTest, AnEmptyIndexLoadsAndSavesAsFiveBytes) {
  writeWholeFile("data.idx", bytes({1, 2, 3, 4, 0x2D}));
  archive::loadIndex();
  EXPECT_TRUE(archive::indexLoaded);
  EXPECT_EQ(archive::installedVersion, 0x04030201u);
  EXPECT_EQ(archive::archiveSet.archiveCount, 0);
  ASSERT_TRUE(archive::saveIndex(archive::archiveSet).ok());
  EXPECT_EQ(hex(readWholeFile("data.idx")), "01 02 03 04 2D");
}

TEST_F(IndexTest, AMissingArchiveKeepsItsEntriesAndTheNextArchiveLoads) {
  writeWholeFile("B.VFS", "");
  std::vector<archive::IndexArchiveSpec> archives = {{"MISSING.VFS", kTwoEntries}, {"B.VFS", {{9, 0, 0}}}};
  std::string original = archive::encodeIndex(3, archives);
  writeWholeFile("data.idx", original);
  archive::loadIndex();
  ASSERT_TRUE(archive::indexLoaded);
  EXPECT_FALSE(archive::archiveSet.archives[0]->archive->file.isOpen());
  EXPECT_EQ(archive::archiveSet.archives[0]->archive->entries.size(), 2u);
  EXPECT_TRUE(archive::archiveSet.archives[1]->archive->file.isOpen());
  EXPECT_EQ(archive::archiveSet.archives[1]->archive->entries[0].key, 9u);
  ASSERT_TRUE(archive::saveIndex(archive::archiveSet).ok());
  EXPECT_TRUE(readWholeFile("data.idx") == original);
}

TEST_F(IndexTest, ANameWithAZeroByteIsCutThere) {
  writeWholeFile("data.idx", bytes({0, 0, 0, 0, 1 ^ 0x2D, 3, 'A', 0, 'B', 0, 0, 0, 0}));
  archive::loadIndex();
  ASSERT_TRUE(archive::indexLoaded);
  EXPECT_EQ(archive::archiveSet.archives[0]->name, "A");
}

TEST_F(IndexTest, PatchListIsDeletedWithOrWithoutAnIndex) {
  writeWholeFile("patch.hpl", "1 2 3");
  archive::loadIndex();
  EXPECT_FALSE(archive::indexLoaded);
  EXPECT_FALSE(fileExists("patch.hpl"));
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {}));
  writeWholeFile("patch.hpl", "1 2 3");
  archive::loadIndex();
  EXPECT_TRUE(archive::indexLoaded);
  EXPECT_FALSE(fileExists("patch.hpl"));
}

TEST_F(IndexTest, NoIndexLeavesInstalledVersionAlone) {
  archive::installedVersion = 17;
  archive::loadIndex();
  EXPECT_FALSE(archive::indexLoaded);
  EXPECT_EQ(archive::installedVersion, 17u);
  EXPECT_EQ(archive::archiveSet.archiveCount, 0);
}

struct BadIndex {
  const char* what;
  std::string data;
};

// Every prefix of a good index, and indexes whose counts the file cannot hold.
TEST_F(IndexTest, MalformedIndexesLeaveTheSetEmptyAndUnloaded) {
  std::string good = archive::encodeIndex(5, {{"GAME0.VFS", kTwoEntries}, {"GAME1.VFS", {{1, 2, 3}}}});
  std::vector<BadIndex> cases;
  for (std::size_t cut = 0; cut < good.size(); ++cut) cases.push_back({"prefix", good.substr(0, cut)});
  cases.push_back({"name length 32", bytes({0, 0, 0, 0, 1 ^ 0x2D, 32}) + std::string(32, 'a') + bytes({0, 0, 0, 0})});
  cases.push_back(
      {"name length 255", bytes({0, 0, 0, 0, 1 ^ 0x2D, 255}) + std::string(255, 'a') + bytes({0, 0, 0, 0})});
  cases.push_back({"entry count 0x7FFFFFFF", bytes({0, 0, 0, 0, 1 ^ 0x2D, 1, 'A', 0xFF, 0xFF, 0xFF, 0x7F})});
  cases.push_back(
      {"entry count 2 with one record", bytes({0, 0, 0, 0, 1 ^ 0x2D, 1, 'A', 2, 0, 0, 0}) + std::string(12, '\0')});
  cases.push_back({"255 archives announced, one present", bytes({0, 0, 0, 0, 255 ^ 0x2D, 1, 'A', 0, 0, 0, 0})});
  for (const BadIndex& bad : cases) {
    SCOPED_TRACE(std::string(bad.what) + " size " + std::to_string(bad.data.size()));
    archive::closeArchiveSet(archive::archiveSet);
    archive::indexLoaded = false;
    archive::installedVersion = 99;
    writeWholeFile("data.idx", bad.data);
    archive::loadIndex();
    EXPECT_FALSE(archive::indexLoaded);
    EXPECT_EQ(archive::installedVersion, 99u);
    EXPECT_EQ(archive::archiveSet.archiveCount, 0);
    EXPECT_TRUE(archive::archiveSet.archives.empty());
  }
}

struct DamagedIndex {
  const char* what;
  std::string bytes;
  const char* reason;  // what readIndexFile says, naming the record
};

TEST_F(IndexTest, EachDamagedRecordGivesItsReason) {
  const std::string header = bytes({0, 0, 0, 0, 1 ^ 0x2D});
  const std::string twoArchives = archive::encodeIndex(0, {{"A", {}}, {"B", kTwoEntries}});
  const DamagedIndex cases[] = {
      {"empty file", "", "ends within the header (0 of 5 bytes)"},
      {"short header", bytes({1, 0, 0}), "ends within the header (3 of 5 bytes)"},
      {"no name length", header, "archive 0: ends within the name length (0 of 1 bytes)"},
      {"name length above 31", header + bytes({32}), "archive 0: name length 32 above 31"},
      {"fourth archive's name too long",
       archive::encodeIndex(0, {{"A", {}}, {"B", {}}, {"C", {}}, {std::string(40, 'n'), {}}}),
       "archive 3: name length 40 above 31"},
      {"name cut short", header + bytes({5, 'G', 'A'}), "archive 0: ends within the name (2 of 5 bytes)"},
      {"entry count cut short", header + bytes({1, 'A', 2, 0}),
       "archive 0: ends within the entry count (2 of 4 bytes)"},
      {"entries past the end", twoArchives.substr(0, twoArchives.size() - 12),
       "archive 1: 2 entries need 24 bytes, 12 are left"},
  };
  for (const DamagedIndex& c : cases) {
    writeWholeFile("bad.idx", c.bytes);
    archive::ArchiveSet set;
    platform::Status read = archive::readIndexFile("bad.idx", set);
    EXPECT_FALSE(read.ok()) << c.what;
    EXPECT_EQ(read.reason(), c.reason) << c.what;
    EXPECT_EQ(set.archiveCount, 0) << c.what;
  }
  archive::ArchiveSet set;
  platform::Status absent = archive::readIndexFile("absent.idx", set);
  EXPECT_EQ(absent.reason().rfind("cannot be opened: ", 0), 0u) << absent.reason();
}

TEST_F(IndexTest, TheLauncherTracesWhyTheIndexWasNotLoaded) {
  writeWholeFile("data.idx", archive::encodeIndex(0, {{"A", {}}, {"B", {}}, {"C", {}}, {std::string(40, 'n'), {}}}));
  ::testing::internal::CaptureStdout();
  archive::loadIndex();
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(archive::indexLoaded);
  EXPECT_NE(trace.find("The index was not loaded: data.idx: archive 3: name length 40 above 31"), std::string::npos)
      << trace;
  platform::Status again = archive::loadIndexWithReason();
  EXPECT_EQ(again.reason(), "data.idx: archive 3: name length 40 above 31");
}

TEST_F(IndexTest, ANegativeEntryCountMeansNoEntries) {
  // count -1 for archive 0 (mask 0), then archive 1 follows at once.
  writeWholeFile("data.idx", bytes({0, 0, 0, 0, 2 ^ 0x2D, 1, 'A', 0xFF, 0xFF, 0xFF, 0xFF, 1, 'B', 0x01, 0xC3, 0,
                                    0}));  // count 0 XOR 0xC301
  archive::loadIndex();
  ASSERT_TRUE(archive::indexLoaded);
  EXPECT_EQ(archive::archiveSet.archiveCount, 2);
  EXPECT_TRUE(archive::archiveSet.archives[0]->archive->entries.empty());
  EXPECT_TRUE(archive::archiveSet.archives[1]->archive->entries.empty());
}

TEST_F(IndexTest, SaveReplacesTheIndexWholeAndLeavesNoTemporaryFile) {
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {{"GAME0.VFS", kTwoEntries}}));
  writeWholeFile("GAME0.VFS", std::string(0x120, 'x'));
  archive::loadIndex();
  archive::archiveSet.baseVersion = 2;
  ASSERT_TRUE(archive::saveIndex(archive::archiveSet).ok());
  EXPECT_TRUE(readWholeFile("data.idx") == archive::encodeIndex(2, {{"GAME0.VFS", kTwoEntries}}));
  EXPECT_FALSE(fileExists(archive::kIndexTempFileName));
}

TEST_F(IndexTest, AStaleTemporaryFileFromACrashIsReplaced) {
  writeWholeFile(archive::kIndexTempFileName, "half of an index from a crash");
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {}));
  archive::loadIndex();
  ASSERT_TRUE(archive::saveIndex(archive::archiveSet).ok());
  EXPECT_EQ(hex(readWholeFile("data.idx")), "01 00 00 00 2D");
  EXPECT_FALSE(fileExists(archive::kIndexTempFileName));
}

TEST_F(IndexTest, WhenTheTemporaryFileCannotBeWrittenTheOldIndexStays) {
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {}));
  archive::loadIndex();
  platform::createDirectory(archive::kIndexTempFileName);  // a directory where the temporary file would go
  archive::archiveSet.baseVersion = 2;
  platform::Status saved = archive::saveIndex(archive::archiveSet);
  EXPECT_FALSE(saved.ok());
  EXPECT_EQ(saved.reason().rfind("data.idx.new cannot be created: ", 0), 0u) << saved.reason();
  EXPECT_EQ(hex(readWholeFile("data.idx")), "01 00 00 00 2D");
}

// A link planted at the temporary name by whoever can write the game folder:
// the save never writes through it (the launcher runs elevated). It fails,
// saying why, and the old index and the file the link points to stay.
TEST_F(IndexTest, ALinkAtTheTemporaryNameIsNeverWrittenThrough) {
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {}));
  writeWholeFile("precious.txt", "not the launcher's to write");
  LinkPlanter links;
  if (!links.plant(LinkKind::kFile, archive::kIndexTempFileName, "precious.txt")) {
    noteUnplantable(LinkKind::kFile);
    return;
  }
  archive::loadIndex();
  archive::archiveSet.baseVersion = 2;
  platform::Status saved = archive::saveIndex(archive::archiveSet);
  EXPECT_EQ(readWholeFile("precious.txt"), "not the launcher's to write");
  EXPECT_FALSE(saved.ok());
  EXPECT_EQ(saved.reason(), "data.idx.new cannot be created: a link lies in its place");
  EXPECT_EQ(hex(readWholeFile("data.idx")), "01 00 00 00 2D");
}

// A disk that fails one step of the save, as a full or failing disk would:
// the old index stays whole, the temporary file goes, and the reason names
// the step and the system's error.
struct FailedSaveStep {
  const char* step;
  platform::FileSystemHooks hooks;
  const char* reason;  // how the reason starts
};

bool failAll(platform::FileHandle, std::uint64_t, std::size_t) { return true; }
bool failFlush(platform::FileHandle) { return true; }
bool failReplace(const char*, const char*) { return true; }

TEST_F(IndexTest, WhenAStepOfTheSaveFailsTheOldIndexStays) {
  const FailedSaveStep cases[] = {
      {"write", {failAll, nullptr, nullptr}, "data.idx.new cannot be written: "},
      {"flush", {nullptr, failFlush, nullptr}, "data.idx.new cannot be flushed to disk: "},
      {"replace", {nullptr, nullptr, failReplace}, "data.idx.new cannot be put in place of data.idx: "},
  };
  for (const FailedSaveStep& c : cases) {
    SCOPED_TRACE(c.step);
    ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {}));
    archive::loadIndex();
    platform::setFileSystemHooks(&c.hooks);
    archive::archiveSet.baseVersion = 2;
    platform::Status saved = archive::saveIndex(archive::archiveSet);
    platform::setFileSystemHooks(nullptr);
    EXPECT_FALSE(saved.ok());
    EXPECT_EQ(saved.reason().rfind(c.reason, 0), 0u) << saved.reason();
    EXPECT_GT(saved.reason().size(), std::string(c.reason).size()) << "the system's error follows";
    EXPECT_EQ(hex(readWholeFile("data.idx")), "01 00 00 00 2D");
    EXPECT_FALSE(fileExists(archive::kIndexTempFileName));
    archive::closeArchiveSet(archive::archiveSet);
  }
}

TEST_F(IndexTest, AnIndexIsNotPutInPlaceWhileTheArchiveBytesItNamesAreNotOnDisk) {
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {{"MISSING.VFS", {}}}));
  archive::loadIndex();
  // As if bytes had been appended that cannot be flushed: the file is not open.
  archive::archiveSet.archives[0]->archive->unflushed = true;
  archive::archiveSet.baseVersion = 2;
  platform::Status saved = archive::saveIndex(archive::archiveSet);
  EXPECT_FALSE(saved.ok());
  EXPECT_EQ(saved.reason().rfind("the archive MISSING.VFS cannot be flushed to disk: ", 0), 0u) << saved.reason();
  EXPECT_TRUE(readWholeFile("data.idx") == archive::encodeIndex(1, {{"MISSING.VFS", {}}}));
}

TEST_F(IndexTest, ReadingAnIndexFileForInspectionTouchesNothingElse) {
  writeWholeFile("GAME0.VFS", "");
  writeWholeFile("patch.hpl", "1 2 3");
  ASSERT_TRUE(archive::writeIndexFile("other.idx", 4, {{"GAME0.VFS", kTwoEntries}}));
  archive::ArchiveSet set;
  ASSERT_TRUE(archive::readIndexFile("other.idx", set));
  EXPECT_EQ(set.baseVersion, 4u);
  ASSERT_EQ(set.archiveCount, 1);
  EXPECT_FALSE(set.archives[0]->archive->file.isOpen());
  EXPECT_EQ(archive::liveEntries(*set.archives[0]->archive).size(), 2u);
  EXPECT_TRUE(archive::removeEntryByKey(set, 0x33334444));
  EXPECT_FALSE(archive::indexLoaded);
  EXPECT_TRUE(fileExists("patch.hpl"));
  writeWholeFile("bad.idx", bytes({0, 0, 0, 0, 1 ^ 0x2D, 40}));
  EXPECT_FALSE(archive::readIndexFile("bad.idx", set));
  EXPECT_EQ(set.archiveCount, 0);
  EXPECT_FALSE(archive::readIndexFile("absent.idx", set));
}

TEST_F(IndexTest, CloseLeavesTheSetEmptyAndReusable) {
  writeWholeFile("GAME0.VFS", "");
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, {{"GAME0.VFS", kTwoEntries}}));
  archive::loadIndex();
  archive::closeArchiveSet(archive::archiveSet);
  EXPECT_EQ(archive::archiveSet.archiveCount, 0);
  EXPECT_TRUE(archive::archiveSet.archives.empty());
  EXPECT_FALSE(archive::removeEntryByKey(archive::archiveSet, 0x11112222));
  archive::loadIndex();
  EXPECT_EQ(archive::archiveSet.archiveCount, 1);
  EXPECT_TRUE(archive::removeEntryByKey(archive::archiveSet, 0x11112222));
}

}  // namespace
