#include "archive/storage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "archive/index_writer.h"
#include "archive_fixture.h"
#include "core/planted_links.h"

namespace {

using StorageTest = ArchiveTest;

std::unique_ptr<std::uint8_t[]> buffer(const std::string& data) {
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[data.size()]);
  std::copy(data.begin(), data.end(), out.get());
  return out;
}

bool store(std::uint32_t key, const std::string& data) {
  return archive::addFile(key, buffer(data), static_cast<std::uint32_t>(data.size())).ok();
}

// An archive file of the given size without writing its bytes (sparse where
// the file system allows).
void makeFileOfSize(const char* name, std::uint64_t size) {
  platform::FileHandle file = platform::createFile(name);
  ASSERT_NE(file, platform::kNoFile);
  if (size > 0) {
    ASSERT_TRUE(platform::writeFileAt(file, size - 1, "z", 1));
  }
  platform::closeFile(file);
}

void loadArchives(const std::vector<archive::IndexArchiveSpec>& archives) {
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 1, archives));
  archive::loadIndex();
  ASSERT_TRUE(archive::indexLoaded);
}

TEST_F(StorageTest, TheFirstFileCreatesGame0AtOffsetZero) {
  loadArchives({});
  ASSERT_TRUE(store(0x1234, "abc"));
  ASSERT_EQ(archive::archiveSet.archiveCount, 1);
  EXPECT_EQ(archive::archiveSet.archives[0]->name, "GAME0.VFS");
  const std::vector<archive::FileEntry>& entries = archive::archiveSet.archives[0]->archive->entries;
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].key, 0x1234u);
  EXPECT_EQ(entries[0].offset, 0u);
  EXPECT_EQ(entries[0].size, 3u);
  EXPECT_EQ(readWholeFile("GAME0.VFS"), "abc");
}

TEST_F(StorageTest, FilesAreAppendedBackToBack) {
  loadArchives({});
  ASSERT_TRUE(store(1, "hello"));
  ASSERT_TRUE(store(2, ""));
  ASSERT_TRUE(store(3, "world"));
  const std::vector<archive::FileEntry>& entries = archive::archiveSet.archives[0]->archive->entries;
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].offset, 5u);
  EXPECT_EQ(entries[1].size, 0u);
  EXPECT_EQ(entries[2].offset, 5u);
  EXPECT_EQ(readWholeFile("GAME0.VFS"), "helloworld");
}

TEST_F(StorageTest, NullDataFails) {
  loadArchives({});
  EXPECT_FALSE(archive::addFile(1, nullptr, 0));
  archive::Archive archive;
  EXPECT_FALSE(archive::appendToArchive(archive::archiveSet, archive, 1, nullptr, 0));
}

struct RoomCase {
  std::uint32_t size;
  std::size_t expectedArchive;
};

TEST_F(StorageTest, RoomIsCheckedAgainstTheLimitInclusively) {
  makeFileOfSize("GAME0.VFS", 0x77300000);
  makeFileOfSize("GAME1.VFS", 0);
  loadArchives({{"GAME0.VFS", {}}, {"GAME1.VFS", {}}});
  for (RoomCase c : {RoomCase{0x100000, 0}, RoomCase{0x100001, 1}}) {
    archive::ArchiveSlot* slot = archive::findArchiveWithRoom(archive::archiveSet, c.size);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(slot, archive::archiveSet.archives[c.expectedArchive].get()) << c.size;
  }
  EXPECT_EQ(archive::kArchiveSizeLimit, 2000683008u);
}

TEST_F(StorageTest, DataLargerThanTheLimitGetsANewArchiveOfItsOwn) {
  makeFileOfSize("GAME0.VFS", 0);
  loadArchives({{"GAME0.VFS", {}}});
  EXPECT_EQ(archive::findArchiveWithRoom(archive::archiveSet, archive::kArchiveSizeLimit + 1), nullptr);
  EXPECT_NE(archive::findArchiveWithRoom(archive::archiveSet, archive::kArchiveSizeLimit), nullptr);
}

TEST_F(StorageTest, ANewArchiveIsNamedAfterTheArchiveCount) {
  makeFileOfSize("X.VFS", archive::kArchiveSizeLimit);
  makeFileOfSize("Y.VFS", archive::kArchiveSizeLimit);
  makeFileOfSize("Z.VFS", archive::kArchiveSizeLimit);
  loadArchives({{"X.VFS", {}}, {"Y.VFS", {}}, {"Z.VFS", {}}});
  ASSERT_TRUE(store(5, "data"));
  ASSERT_EQ(archive::archiveSet.archiveCount, 4);
  EXPECT_EQ(archive::archiveSet.archives[3]->name, "GAME3.VFS");
  EXPECT_EQ(readWholeFile("GAME3.VFS"), "data");
}

TEST_F(StorageTest, ATakenNameMovesOnToTheNextFreeNumberInsteadOfCuttingThatArchive) {
  makeFileOfSize("GAME2.VFS", archive::kArchiveSizeLimit);
  makeFileOfSize("game3.vfs", archive::kArchiveSizeLimit);
  loadArchives({{"GAME2.VFS", {{7, 0, 10}}}, {"game3.vfs", {}}});
  EXPECT_EQ(archive::newArchiveName(archive::archiveSet), "GAME4.VFS");
  EXPECT_EQ(archive::createArchive(archive::archiveSet, "GAME2.VFS"), nullptr);
  ASSERT_TRUE(store(5, "data"));
  EXPECT_EQ(archive::archiveSet.archives[2]->name, "GAME4.VFS");
  EXPECT_EQ(platform::pathExists("GAME2.VFS"), true);
  std::uint64_t size = 0;
  EXPECT_TRUE(platform::getFileSize(archive::archiveSet.archives[0]->archive->file.get(), &size));
  EXPECT_EQ(size, archive::kArchiveSizeLimit);
}

// Another launcher or vlm-patch may pick the same unlisted name for its own
// new archive at the same moment. One it holds must stay whole; one nobody
// holds is left over from a package whose index was never saved and is cut.
struct UnlistedArchiveCase {
  bool heldElsewhere;
  bool created;
  const char* contentAfter;
};

TEST_F(StorageTest, ANewArchiveCutsAStaleFileButNeverOneHeldElsewhere) {
  for (UnlistedArchiveCase c :
       {UnlistedArchiveCase{true, false, "another's new archive"}, UnlistedArchiveCase{false, true, ""}}) {
    SCOPED_TRACE(c.heldElsewhere ? "held" : "stale");
    archive::closeArchiveSet(archive::archiveSet);
    loadArchives({});
    writeWholeFile("GAME0.VFS", "another's new archive");
    // A second open file description holds it as another process would.
    platform::FileHandle holder =
        c.heldElsewhere ? platform::openFileForExclusiveUpdate("GAME0.VFS") : platform::kNoFile;
    ASSERT_EQ(holder != platform::kNoFile, c.heldElsewhere);
    archive::ArchiveSlot* slot = archive::createArchive(archive::archiveSet, "GAME0.VFS");
    EXPECT_EQ(slot != nullptr, c.created);
    EXPECT_EQ(archive::archiveSet.archiveCount, c.created ? 1 : 0);
    platform::closeFile(holder);
    EXPECT_EQ(readWholeFile("GAME0.VFS"), c.contentAfter);
  }
}

TEST_F(StorageTest, ANewArchiveIsNeverMadeThroughALink) {
  int planted = 0;
  for (LinkKind kind : {LinkKind::kFile, LinkKind::kDangling}) {
    SCOPED_TRACE(linkKindName(kind));
    TempWorkDir besideInstallation;
    LinkPlanter links;  // goes before the directory holding its links
    std::filesystem::create_directories("outside");
    std::filesystem::create_directories("inst");
    writeWholeFile("outside/victim", "outside data");
    if (!links.plant(kind, "inst/GAME0.VFS", kind == LinkKind::kFile ? "outside/victim" : "outside/made")) {
      noteUnplantable(kind);
      continue;
    }
    ++planted;
    std::filesystem::current_path("inst");
    archive::closeArchiveSet(archive::archiveSet);
    loadArchives({});
    EXPECT_FALSE(store(1, "data"));
    EXPECT_EQ(archive::archiveSet.archiveCount, 0);
    std::filesystem::current_path("..");
    EXPECT_EQ(readWholeFile("outside/victim"), "outside data");
    EXPECT_FALSE(fileExists("outside/made"));
  }
  EXPECT_GT(planted, 0) << "no kind of link could be planted here";
}

TEST_F(StorageTest, ATwoHundredFiftySixthArchiveIsRefused) {
  loadArchives({});
  for (int i = 0; i < 255; ++i) {
    ASSERT_NE(archive::createArchive(archive::archiveSet, "A" + std::to_string(i) + ".VFS"), nullptr) << i;
    archive::archiveSet.archives.back()->archive->knownSize = archive::kArchiveSizeLimit;  // full
  }
  EXPECT_EQ(archive::archiveSet.archiveCount, 255);
  EXPECT_FALSE(store(1, "x"));
  EXPECT_EQ(archive::archiveSet.archiveCount, 255);
  EXPECT_EQ(archive::archiveSet.archives.size(), 255u);
  EXPECT_EQ(archive::createArchive(archive::archiveSet, "ONEMORE.VFS"), nullptr);
  EXPECT_FALSE(platform::pathExists("GAME255.VFS"));
}

TEST_F(StorageTest, ReplacingAFileRemovesTheOldEntryAndKeepsItsBytes) {
  makeFileOfSize("GAME0.VFS", 0);
  makeFileOfSize("GAME1.VFS", 0);
  loadArchives({{"GAME0.VFS", {}}, {"GAME1.VFS", {}}});
  ASSERT_TRUE(store(1, "one"));
  ASSERT_TRUE(store(2, "two"));
  ASSERT_TRUE(store(1, "ONE!"));
  std::vector<archive::FileEntry> entries = archive::liveEntries(*archive::archiveSet.archives[0]->archive);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].key, 2u);
  EXPECT_EQ(entries[1].key, 1u);
  EXPECT_EQ(entries[1].offset, 6u);
  EXPECT_EQ(entries[1].size, 4u);
  EXPECT_EQ(readWholeFile("GAME0.VFS"), "onetwoONE!");
}

TEST_F(StorageTest, RemovalTakesTheFirstEntryInSetOrderAndKeepsListOrder) {
  makeFileOfSize("A.VFS", 100);
  makeFileOfSize("B.VFS", 100);
  // Key 5 twice: an index written by something else may hold it so.
  loadArchives({{"A.VFS", {{1, 0, 1}, {5, 1, 1}, {2, 2, 1}, {3, 3, 1}}}, {"B.VFS", {{5, 0, 1}, {6, 1, 1}}}});
  EXPECT_TRUE(archive::removeEntryByKey(archive::archiveSet, 5));
  archive::compactArchiveSet(archive::archiveSet);
  const std::vector<archive::FileEntry>& a = archive::archiveSet.archives[0]->archive->entries;
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(a[0].key, 1u);
  EXPECT_EQ(a[1].key, 2u);
  EXPECT_EQ(a[2].key, 3u);
  EXPECT_EQ(archive::archiveSet.archives[1]->archive->entries.size(), 2u);
  EXPECT_TRUE(archive::removeEntryByKey(archive::archiveSet, 5));
  archive::compactArchiveSet(archive::archiveSet);
  ASSERT_EQ(archive::archiveSet.archives[1]->archive->entries.size(), 1u);
  EXPECT_EQ(archive::archiveSet.archives[1]->archive->entries[0].key, 6u);
  EXPECT_FALSE(archive::removeEntryByKey(archive::archiveSet, 5));
  EXPECT_FALSE(archive::removeEntryByKey(archive::archiveSet, 77));
  ASSERT_TRUE(archive::saveIndex(archive::archiveSet).ok());
  EXPECT_TRUE(readWholeFile("data.idx") ==
              archive::encodeIndex(1, {{"A.VFS", {{1, 0, 1}, {2, 2, 1}, {3, 3, 1}}}, {"B.VFS", {{6, 1, 1}}}}));
}

TEST_F(StorageTest, ManyRemovalsMatchAPlainListModel) {
  makeFileOfSize("A.VFS", 0);
  makeFileOfSize("B.VFS", 0);
  std::vector<archive::IndexArchiveSpec> model = {{"A.VFS", {}}, {"B.VFS", {}}};
  for (std::uint32_t k = 0; k < 20000; ++k) model[k % 2].entries.push_back({k, k, 1});
  loadArchives(model);
  // Remove every third key, with compaction passes happening along the way.
  for (std::uint32_t k = 0; k < 20000; k += 3) {
    ASSERT_TRUE(archive::removeEntryByKey(archive::archiveSet, k));
    auto& list = model[k % 2].entries;
    for (auto it = list.begin(); it != list.end(); ++it) {
      if (it->key == k) {
        list.erase(it);
        break;
      }
    }
  }
  for (std::uint32_t k = 1; k < 20000; k += 1000) {
    bool present = k % 3 != 0;
    EXPECT_EQ(archive::removeEntryByKey(archive::archiveSet, k), present) << k;
    auto& list = model[k % 2].entries;
    for (auto it = list.begin(); present && it != list.end(); ++it) {
      if (it->key == k) {
        list.erase(it);
        break;
      }
    }
  }
  ASSERT_TRUE(archive::saveIndex(archive::archiveSet).ok());
  EXPECT_TRUE(readWholeFile("data.idx") == archive::encodeIndex(1, model));
}

TEST_F(StorageTest, AppendKeepsAnEntryTheArchiveAlreadyHoldsForTheKey) {
  makeFileOfSize("A.VFS", 4);
  loadArchives({{"A.VFS", {{9, 0, 4}}}});
  ASSERT_TRUE(
      archive::appendToArchive(archive::archiveSet, *archive::archiveSet.archives[0]->archive, 9, buffer("new"), 3));
  ASSERT_EQ(archive::archiveSet.archives[0]->archive->entries.size(), 1u);
  EXPECT_EQ(archive::archiveSet.archives[0]->archive->entries[0].offset, 0u);
  std::uint64_t size = 0;
  platform::getFileSize(archive::archiveSet.archives[0]->archive->file.get(), &size);
  EXPECT_EQ(size, 7u);
}

TEST_F(StorageTest, AnArchiveWhoseFileDidNotOpenIsNeverChosenNorWritten) {
  makeFileOfSize("B.VFS", 0);
  loadArchives({{"MISSING.VFS", {{1, 0, 4}}}, {"B.VFS", {}}});
  archive::Archive& missing = *archive::archiveSet.archives[0]->archive;
  EXPECT_EQ(archive::archiveFileSize(missing), archive::kUnknownArchiveSize);
  EXPECT_EQ(archive::findArchiveWithRoom(archive::archiveSet, 1), archive::archiveSet.archives[1].get());
  EXPECT_FALSE(archive::appendToArchive(archive::archiveSet, missing, 2, buffer("x"), 1));
  EXPECT_EQ(missing.entries.size(), 1u);
  ASSERT_TRUE(store(1, "data"));  // replaces the entry in the missing archive
  EXPECT_TRUE(archive::liveEntries(missing).empty());
  EXPECT_EQ(archive::archiveSet.archives[1]->archive->entries.size(), 1u);
}

TEST_F(StorageTest, AFailedWriteRecordsNothingAndKeepsTheOldEntry) {
  makeFileOfSize("A.VFS", 3);
  loadArchives({{"A.VFS", {{1, 0, 3}}}});
  archive::Archive& archive = *archive::archiveSet.archives[0]->archive;
  // Swap in a handle that cannot write: every write to it fails.
  archive.file.reset();
  archive.file.reset(platform::openFileForReading("A.VFS"));
  ASSERT_TRUE(archive.file.isOpen());
  EXPECT_FALSE(store(1, "new data"));
  EXPECT_FALSE(store(2, "more"));
  ASSERT_EQ(archive::liveEntries(archive).size(), 1u);
  EXPECT_EQ(archive.entries[0].key, 1u);
  EXPECT_EQ(archive.entries[0].size, 3u);
  EXPECT_FALSE(archive::appendToArchive(archive::archiveSet, archive, 3, buffer("x"), 1));
  EXPECT_EQ(archive.entries.size(), 1u);
}

TEST_F(StorageTest, ArchiveFileSizeFollowsAppends) {
  makeFileOfSize("A.VFS", 10);
  loadArchives({{"A.VFS", {}}});
  archive::Archive& archive = *archive::archiveSet.archives[0]->archive;
  EXPECT_EQ(archive::archiveFileSize(archive), 10u);
  ASSERT_TRUE(store(1, "12345"));
  EXPECT_EQ(archive::archiveFileSize(archive), 15u);
  std::uint64_t size = 0;
  platform::getFileSize(archive.file.get(), &size);
  EXPECT_EQ(size, 15u);
}

TEST_F(StorageTest, BytesBeyondFourGibibytesAreRefused) {
  makeFileOfSize("A.VFS", 0);
  loadArchives({{"A.VFS", {}}});
  archive::Archive& archive = *archive::archiveSet.archives[0]->archive;
  archive.knownSize = 0xFFFFFFF0u;  // as if the archive had grown that far
  archive.sizeKnown = true;
  EXPECT_FALSE(archive::appendToArchive(archive::archiveSet, archive, 1, buffer(std::string(0x20, 'x')), 0x20));
  EXPECT_TRUE(archive.entries.empty());
}

struct Op {
  std::uint32_t key;
  std::uint32_t size;
};

// One installation in its own subdirectory: archives A (nearly full), B and
// an index with a few keys; then the ops, stored one by one with addFile or
// gathered with batchAddFile. Returns the saved index and, per archive, its
// size and the bytes appended after its initial size.
std::string runScenario(const char* subdir, const std::vector<Op>& ops, bool batched) {
  std::filesystem::create_directory(subdir);
  std::filesystem::current_path(subdir);
  const std::uint64_t aSize = archive::kArchiveSizeLimit - 3000, bSize = archive::kArchiveSizeLimit - 200000;
  makeFileOfSize("A.VFS", aSize);
  makeFileOfSize("B.VFS", bSize);
  EXPECT_TRUE(archive::writeIndexFile(
      "data.idx", 1, {{"A.VFS", {{100, 0, 5}, {101, 5, 5}, {102, 10, 5}}}, {"B.VFS", {{200, 0, 10}}}}));
  archive::loadIndex();
  archive::FileBatch batch;
  int storedCount = 0;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    std::string data(ops[i].size, static_cast<char>('a' + i % 26));
    bool ok = batched ? archive::batchAddFile(
                            archive::archiveSet, batch, ops[i].key, ops[i].size,
                            [&](std::uint64_t from, void* out, std::size_t length) {
                              std::memcpy(out, data.data() + from, length);
                              return true;
                            },
                            [&] { ++storedCount; })
                            .ok()
                      : store(ops[i].key, data);
    EXPECT_TRUE(ok) << i;
    if (!batched) ++storedCount;
  }
  if (batched) {
    EXPECT_TRUE(archive::flushFileBatch(archive::archiveSet, batch, [&] { ++storedCount; }));
  }
  EXPECT_EQ(storedCount, static_cast<int>(ops.size()));
  EXPECT_TRUE(archive::saveIndex(archive::archiveSet).ok());
  std::string result = readWholeFile("data.idx");
  for (auto& slot : archive::archiveSet.archives) {
    std::uint64_t size = 0, from = slot->name == "A.VFS" ? aSize : slot->name == "B.VFS" ? bSize : 0;
    platform::getFileSize(slot->archive->file.get(), &size);
    std::string tail(size - from, '\0');
    platform::readFileAt(slot->archive->file.get(), from, &tail[0], tail.size());
    result += "|" + slot->name + ":" + std::to_string(size) + ":" + tail;
  }
  archive::closeArchiveSet(archive::archiveSet);
  std::filesystem::current_path("..");
  return result;
}

TEST_F(StorageTest, GatheredWritesGiveExactlyWhatOneByOneGives) {
  std::vector<Op> ops = {{1, 2000},  {2, 1500}, {3, 900},  {100, 50}, {4, 0}, {1, 30},
                         {5, 70000}, {6, 40},   {200, 60}, {6, 41},   {7, 1}, {102, 1000}};
  for (std::uint32_t k = 0; k < 3000; ++k) ops.push_back({1000 + k % 1500, 700});  // past 1 MiB, keys repeat
  ops.push_back({8, archive::kBatchedFileLimit});
  ops.push_back({9, archive::kBatchedFileLimit + 1});
  std::string oneByOne = runScenario("one", ops, false);
  std::string gathered = runScenario("gathered", ops, true);
  EXPECT_TRUE(oneByOne == gathered);
  EXPECT_NE(oneByOne.find("|GAME2.VFS:"), std::string::npos);  // the ops overflowed A and B
  EXPECT_GT(oneByOne.size(), 2000000u);
}

TEST_F(StorageTest, AGatheredFileWhoseDataCannotBeReadStopsAfterStoringTheOnesBefore) {
  loadArchives({});
  archive::FileBatch batch;
  int stored = 0;
  auto good = [](std::uint64_t, void* out, std::size_t length) {
    std::memset(out, 'g', length);
    return true;
  };
  auto bad = [](std::uint64_t, void*, std::size_t) { return false; };
  ASSERT_TRUE(archive::batchAddFile(archive::archiveSet, batch, 1, 10, good, [&] { ++stored; }));
  ASSERT_TRUE(archive::batchAddFile(archive::archiveSet, batch, 2, 10, good, [&] { ++stored; }));
  EXPECT_FALSE(archive::batchAddFile(archive::archiveSet, batch, 3, 10, bad, [&] { ++stored; }));
  EXPECT_EQ(stored, 2);
  EXPECT_EQ(archive::archiveSet.archives[0]->archive->entries.size(), 2u);
  EXPECT_EQ(readWholeFile("GAME0.VFS"), std::string(20, 'g'));
}

TEST_F(StorageTest, AFailedGatheredWriteRecordsNoneOfItsFiles) {
  makeFileOfSize("A.VFS", 0);
  loadArchives({{"A.VFS", {{1, 0, 0}}}});
  archive::Archive& archive = *archive::archiveSet.archives[0]->archive;
  archive.file.reset();
  archive.file.reset(platform::openFileForReading("A.VFS"));  // every write to it fails
  archive.sizeKnown = true;
  archive.knownSize = 0;
  archive::FileBatch batch;
  int stored = 0;
  auto data = [](std::uint64_t, void* out, std::size_t length) {
    std::memset(out, 'x', length);
    return true;
  };
  ASSERT_TRUE(archive::batchAddFile(archive::archiveSet, batch, 1, 10, data, [&] { ++stored; }));
  ASSERT_TRUE(archive::batchAddFile(archive::archiveSet, batch, 2, 10, data, [&] { ++stored; }));
  EXPECT_FALSE(archive::flushFileBatch(archive::archiveSet, batch, [&] { ++stored; }));
  EXPECT_EQ(stored, 0);
  ASSERT_EQ(archive::liveEntries(archive).size(), 1u);
  EXPECT_EQ(archive.entries[0].key, 1u);
}

}  // namespace
