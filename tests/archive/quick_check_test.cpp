// The quick check of an installation: a table of installations, each laid
// out in a fresh working directory, and what the check must say of them.
#include "archive/quick_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/index_writer.h"
#include "archive/storage.h"
#include "archive_fixture.h"
#include "core/planted_links.h"

namespace fs = std::filesystem;

namespace {

using archive::ArchiveFault;

// One problem the check must report, in index order.
struct Expected {
  std::size_t position;
  const char* name;
  ArchiveFault fault;
  std::uint64_t needed;
  std::uint64_t actual;
};

struct CheckCase {
  const char* what;
  // Lays out the installation; false when this system cannot (a kind of
  // link it cannot plant): the row is then noted and passed over.
  std::function<bool(LinkPlanter&)> lay;
  bool indexRead;
  std::vector<Expected> problems;
  std::uint64_t entries;  // entries the index lists, when it was read
};

archive::FileEntry entry(std::uint32_t key, std::uint32_t offset, std::uint32_t size) { return {key, offset, size}; }

// Two archives: GA0.VFS of 100 bytes whose entries reach byte 100 exactly,
// GA1.VFS of 10 bytes whose entry reaches byte 6.
const std::vector<archive::IndexArchiveSpec> kTwoArchives = {
    {"GA0.VFS", {entry(1, 0, 40), entry(2, 40, 20), entry(3, 90, 10), entry(4, 60, 0)}},
    {"GA1.VFS", {entry(5, 0, 6)}},
};

bool writeIndex(const std::vector<archive::IndexArchiveSpec>& archives) {
  return archive::writeIndexFile("data.idx", 7, archives).ok();
}

// The two archives as files of these lengths (a negative length: none).
bool layTwo(int first, int second) {
  if (first >= 0) writeWholeFile("GA0.VFS", std::string(static_cast<std::size_t>(first), 'a'));
  if (second >= 0) writeWholeFile("GA1.VFS", std::string(static_cast<std::size_t>(second), 'b'));
  return writeIndex(kTwoArchives);
}

// GA1.VFS as a link of that kind to a sound file elsewhere.
bool layLinked(LinkPlanter& links, LinkKind kind) {
  writeWholeFile("elsewhere.bin", std::string(10, 'b'));
  fs::create_directory("elsewhere");
  if (!links.plant(kind, "GA1.VFS", kind == LinkKind::kDirectory ? "elsewhere" : "elsewhere.bin")) return false;
  if (kind == LinkKind::kDangling) fs::remove("elsewhere.bin");
  return layTwo(100, -1);
}

const CheckCase kCases[] = {
    {"intact, an entry ending exactly at the end of its file",
     [](LinkPlanter&) { return layTwo(100, 10); },
     true,
     {},
     5},
    {"a file longer than its entries need", [](LinkPlanter&) { return layTwo(4096, 6); }, true, {}, 5},
    {"an archive missing",
     [](LinkPlanter&) { return layTwo(100, -1); },
     true,
     {{1, "GA1.VFS", ArchiveFault::kMissing, 6, 0}},
     5},
    {"an archive one byte short of its last entry's end",
     [](LinkPlanter&) { return layTwo(99, 10); },
     true,
     {{0, "GA0.VFS", ArchiveFault::kTooShort, 100, 99}},
     5},
    {"an archive cut to nothing",
     [](LinkPlanter&) { return layTwo(100, 0); },
     true,
     {{1, "GA1.VFS", ArchiveFault::kTooShort, 6, 0}},
     5},
    {"both archives damaged, each named",
     [](LinkPlanter&) { return layTwo(50, -1); },
     true,
     {{0, "GA0.VFS", ArchiveFault::kTooShort, 100, 50}, {1, "GA1.VFS", ArchiveFault::kMissing, 6, 0}},
     5},
    {"a directory in an archive's place",
     [](LinkPlanter&) {
       fs::create_directory("GA1.VFS");
       return layTwo(100, -1);
     },
     true,
     {{1, "GA1.VFS", ArchiveFault::kDirectory, 6, 0}},
     5},
    {"a link to a sound file in an archive's place",
     [](LinkPlanter& links) { return layLinked(links, LinkKind::kFile); },
     true,
     {{1, "GA1.VFS", ArchiveFault::kLink, 6, 0}},
     5},
    {"a link to a directory in an archive's place",
     [](LinkPlanter& links) { return layLinked(links, LinkKind::kDirectory); },
     true,
     {{1, "GA1.VFS", ArchiveFault::kLink, 6, 0}},
     5},
    {"an archive behind a linked directory",
     [](LinkPlanter& links) {
       fs::create_directory("real");
       writeWholeFile("real/GA0.VFS", std::string(10, 'a'));
       return links.plant(LinkKind::kDirectory, "data", "real") && writeIndex({{"data/GA0.VFS", {entry(1, 0, 10)}}});
     },
     true,
     {{0, "data/GA0.VFS", ArchiveFault::kLink, 10, 0}},
     1},
    {"an archive without entries that is there",
     [](LinkPlanter&) {
       writeWholeFile("GA0.VFS", "");
       return writeIndex({{"GA0.VFS", {}}});
     },
     true,
     {},
     0},
    {"an archive without entries that is missing",
     [](LinkPlanter&) {
       return writeIndex({{"GA0.VFS", {}}});
     },
     true,
     {{0, "GA0.VFS", ArchiveFault::kMissing, 0, 0}},
     0},
    {"an index without archives", [](LinkPlanter&) { return writeIndex({}); }, true, {}, 0},
    {"an entry reaching past 4 GiB",
     [](LinkPlanter&) {
       writeWholeFile("GA0.VFS", std::string(100, 'a'));
       return writeIndex({{"GA0.VFS", {entry(1, 0xFFFFFFF0u, 0xFFFFFFF0u)}}});
     },
     true,
     {{0, "GA0.VFS", ArchiveFault::kTooShort, 0x1FFFFFFE0ull, 100}},
     1},
    {"a name that leaves the installation",
     [](LinkPlanter&) {
       writeWholeFile("GA0.VFS", std::string(100, 'a'));
       return writeIndex({{"../GA0.VFS", {entry(1, 0, 1)}}, {"GA0.VFS", {entry(2, 0, 1)}}});
     },
     true,
     {{0, "../GA0.VFS", ArchiveFault::kBadName, 1, 0}},
     2},
    {"no index at all", [](LinkPlanter&) { return layTwo(100, 10) && fs::remove("data.idx"); }, false, {}, 0},
    {"an empty index file",
     [](LinkPlanter&) {
       writeWholeFile("data.idx", "");
       return true;
     },
     false,
     {},
     0},
    {"an index that ends inside its entries",
     [](LinkPlanter&) {
       if (!layTwo(100, 10)) return false;
       std::string bytes = readWholeFile("data.idx");
       writeWholeFile("data.idx", bytes.substr(0, bytes.size() - 5));
       return true;
     },
     false,
     {},
     0},
};

class QuickCheckTest : public ArchiveTest {};

TEST_F(QuickCheckTest, SaysOfEachInstallationWhatIsWrong) {
  for (const CheckCase& c : kCases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    LinkPlanter links;
    if (!c.lay(links)) {
      std::printf("[   NOTE   ] %s: cannot be laid out here; not run\n", c.what);
      continue;
    }
    archive::QuickCheckResult result = archive::quickCheckIndexFile();
    ASSERT_EQ(result.indexRead, c.indexRead) << result.indexProblem;
    if (!c.indexRead) {
      EXPECT_FALSE(result.ok());
      EXPECT_EQ(result.indexProblem.rfind("data.idx: ", 0), 0u) << result.indexProblem;
      EXPECT_TRUE(result.problems.empty());
      continue;
    }
    EXPECT_EQ(result.baseVersion, 7u);
    EXPECT_EQ(result.entries, c.entries);
    EXPECT_EQ(result.ok(), c.problems.empty());
    ASSERT_EQ(result.problems.size(), c.problems.size());
    for (std::size_t i = 0; i < c.problems.size(); ++i) {
      const archive::ArchiveProblem& got = result.problems[i];
      const Expected& want = c.problems[i];
      EXPECT_EQ(got.position, want.position);
      EXPECT_EQ(got.name, want.name);
      EXPECT_EQ(static_cast<int>(got.fault), static_cast<int>(want.fault)) << archive::describeArchiveProblem(got);
      EXPECT_EQ(got.needed, want.needed);
      EXPECT_EQ(got.actual, want.actual);
    }
  }
}

// The loaded set is checked the same way, and an entry taken out (a
// replaced file) no longer asks for its bytes.
TEST_F(QuickCheckTest, ChecksTheLoadedSetWithoutRemovedEntries) {
  ASSERT_TRUE(layTwo(60, 10));
  archive::loadIndex();
  ASSERT_TRUE(archive::indexLoaded);
  archive::QuickCheckResult before = archive::quickCheckArchives(archive::archiveSet);
  ASSERT_EQ(before.problems.size(), 1u);
  EXPECT_EQ(before.problems[0].needed, 100u);
  EXPECT_EQ(before.problems[0].actual, 60u);
  ASSERT_TRUE(archive::removeEntryByKey(archive::archiveSet, 3));  // the one that ends at byte 100
  archive::QuickCheckResult after = archive::quickCheckArchives(archive::archiveSet);
  EXPECT_TRUE(after.ok()) << archive::describeArchiveProblem(after.problems.at(0));
  EXPECT_EQ(after.entries, 4u);
}

TEST(DescribeArchiveProblem, NamesTheArchiveAndTheLengths) {
  archive::ArchiveProblem shortOne{3, "GAME3.VFS", ArchiveFault::kTooShort, 1200, 1000, ""};
  EXPECT_EQ(archive::describeArchiveProblem(shortOne),
            "GAME3.VFS (archive 3) is too short: 1200 bytes needed, 1000 there");
  archive::ArchiveProblem missing{0, "GA0.VFS", ArchiveFault::kMissing, 5, 0, ""};
  EXPECT_EQ(archive::describeArchiveProblem(missing), "GA0.VFS (archive 0) is missing");
}

}  // namespace
