// vlm-patch diff: the packages it writes take OLD to NEW when the launcher's
// own application code applies them, and what it refuses.
#include <gtest/gtest.h>
#include <algorithm>

#include <filesystem>
#include <random>
#include <set>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "archive/index_writer.h"
#include "archive/patch_package.h"
#include "platform/test_hooks.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/diff.h"
#include "tools/vlm_patch/digest.h"
#include "tools/vlm_patch/install_tree.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

using Keys = std::vector<std::pair<std::uint32_t, std::string>>;

// Applies every package of out to a copy of old, through vlm-patch apply
// (the launcher's applyPatchPackage), and returns the copy's directory.
std::string applyToCopy(const std::string& oldDir, const std::string& out, const std::string& copy) {
  fs::remove_all(copy);
  fs::copy(oldDir, copy, fs::copy_options::recursive);
  Args args = {copy};
  for (const auto& package : packagesIn(out)) args.push_back(package.first);
  if (args.size() > 1) {
    EXPECT_EQ(runTool("apply", args), kExitOk);
  }
  return copy;
}

std::vector<int> typesOf(const std::string& out) {
  std::vector<int> types;
  for (const auto& package : packagesIn(out)) types.push_back(package.second);
  return types;
}

std::vector<std::uint32_t> storedKeysOf(const std::string& out) {
  std::vector<std::uint32_t> keys;
  for (const auto& [path, type] : packagesIn(out)) {
    archive::PatchPackage package;
    if (type == 1 && archive::loadPatchPackageReadOnly(package, path.c_str()))
      for (const archive::PatchItem& item : package.items) keys.push_back(item.key);
    archive::closePatchPackage(package);
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}

std::vector<std::string> namesOf(const std::string& out) {
  std::vector<std::string> names;
  for (const auto& [path, type] : packagesIn(out)) {
    archive::PatchPackage package;
    if ((type == 3 || type == 4) && archive::loadPatchPackageReadOnly(package, path.c_str()))
      for (const archive::PatchItem& item : package.items) names.push_back(std::to_string(type) + " " + item.name);
    archive::closePatchPackage(package);
  }
  return names;
}

struct ProofCase {
  const char* what;
  ReleaseSpec oldRelease;
  ReleaseSpec newRelease;
  std::vector<int> types;             // the package types diff writes, in order
  std::vector<std::uint32_t> stored;  // the keys its type-1 packages store
  std::vector<std::string> named;     // "3 name" / "4 name" items, in order
};

std::vector<ProofCase> proofCases() {
  const std::string big = bytesOf(200000, 'B'), other = bytesOf(200000, 'b');
  std::vector<ProofCase> cases;
  cases.push_back({"from scratch",
                   {0, {}, {}},
                   {2,
                    {{"GAME0.VFS", {{1, "one"}, {2, big}}}, {"GAME1.VFS", {{3, "three"}}}},
                    {{"readme.txt", "hello"}, {"data/ui/font.fnt", "font"}, {"data\\sound\\a.wav", "wav"}}},
                   {1, 3},
                   {1, 2, 3},
                   {"3 data\\sound\\a.wav", "3 data\\ui\\font.fnt", "3 readme.txt"}});
  cases.push_back(
      {"keys changed, added and kept; bytes moved to another archive are kept",
       {4, {{"GAME0.VFS", {{1, "kept"}, {2, "same size"}, {3, "short"}, {4, big}}}}, {}},
       {5,
        {{"GAME0.VFS", {{3, "longer now"}, {1, "kept"}}, 7}, {"GAME1.VFS", {{4, big}, {2, "SAME SIZE"}, {5, "added"}}}},
        {}},
       {1},
       {2, 3, 5},
       {}});
  cases.push_back({"loose files added, changed and deleted in subdirectories with either separator",
                   {1,
                    {{"GAME0.VFS", {{1, "k"}}}},
                    {{"readme.txt", "old text"},
                     {"data/old.txt", "old"},
                     {"data\\sub\\keep.txt", "keep"},
                     {"gone/deep/x.bin", "x"},
                     {"big.bin", big}}},
                   {3,
                    {{"GAME0.VFS", {{1, "k"}}}},
                    {{"readme.txt", "new text"},
                     {"data/sub/keep.txt", "keep"},
                     {"data\\new.txt", "new"},
                     {"docs/manual/intro.txt", "intro"},
                     {"big.bin", other}}},
                   {4, 3},
                   {},
                   {"4 data\\old.txt", "4 gone\\deep\\x.bin", "3 big.bin", "3 data\\new.txt",
                    "3 docs\\manual\\intro.txt", "3 readme.txt"}});
  cases.push_back({"a release with a new archive",
                   {7, {{"GAME0.VFS", {{1, "a"}, {2, "b"}}}, {"GAME1.VFS", {{3, "c"}}}}, {{"x.txt", "x"}}},
                   {8,
                    {{"GAME0.VFS", {{1, "a"}}},
                     {"GAME1.VFS", {{3, "c"}}},
                     {"GAME2.VFS", {{4, big}, {5, "e"}, {2, "b moved and changed"}}}},
                    {{"x.txt", "x"}}},
                   {1},
                   {2, 4, 5},
                   {}});
  cases.push_back({"equal data in another layout makes no package",
                   {3, {{"GAME0.VFS", {{1, "a"}, {2, "b"}, {3, big}}}}, {{"f/g.txt", "g"}}},
                   {3, {{"OTHER.VFS", {{3, big}, {1, "a"}}, 11}, {"MORE.VFS", {{2, "b"}}}}, {{"f\\g.txt", "g"}}},
                   {},
                   {},
                   {}});
  cases.push_back({"a file gives way to a directory and a name changes case",
                   {1, {}, {{"docs", "a file"}, {"readme.txt", "read me"}}},
                   {3, {}, {{"docs/index.txt", "index"}, {"README.txt", "read me"}}},
                   {4, 3},
                   {},
                   {"4 docs", "4 readme.txt", "3 README.txt", "3 docs\\index.txt"}});
  cases.push_back({"empty data and empty files",
                   {1, {{"GAME0.VFS", {{1, "will be empty"}}}}, {{"e.txt", "not yet empty"}}},
                   {3, {{"GAME0.VFS", {{1, ""}, {2, ""}}}}, {{"e.txt", ""}, {"new/empty.txt", ""}}},
                   {1, 3},
                   {1, 2},
                   {"3 e.txt", "3 new\\empty.txt"}});
  // 65,536 keys: the last goes into a second package. The first and the last
  // are larger than diff's read window, so their bytes are never kept and
  // both are read again from the same archive when written; the small ones
  // between make the first package grow past a flush.
  ProofCase crossing{"keys read again from one archive on both sides of a package's end",
                     {0, {}, {}},
                     {2, {{"GAME0.VFS", {}}}, {}},
                     {1, 1},
                     {},
                     {}};
  for (std::uint32_t key = 1; key <= 65536; ++key) {
    std::size_t size = key == 1 || key == 65536 ? 300000 : 40;
    crossing.newRelease.archives[0].files.push_back({key, bytesOf(size, static_cast<char>(key))});
    crossing.stored.push_back(key);
  }
  cases.push_back(crossing);
  return cases;
}

TEST(Diff, AppliedPackagesTurnOldIntoNew) {
  for (const ProofCase& c : proofCases()) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    writeRelease("old", c.oldRelease);
    writeRelease("new", c.newRelease);
    ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitOk);
    EXPECT_EQ(typesOf("out"), c.types);
    EXPECT_EQ(storedKeysOf("out"), c.stored);
    EXPECT_EQ(namesOf("out"), c.named);
    std::vector<std::string> first;
    for (const auto& package : packagesIn("out")) first.push_back(fs::path(package.first).filename().string());
    if (!first.empty()) {
      EXPECT_EQ(first[0], std::to_string(c.oldRelease.version + 1) + ".dat");
    }

    std::string applied = applyToCopy("old", "out", "applied");
    EXPECT_EQ(installationContents(applied), installationContents("new"));
    EXPECT_EQ(looseFilesOf(applied), looseFilesOf("new"));
    EXPECT_EQ(runTool("compare", {applied, "new"}), kExitOk);
    EXPECT_EQ(runTool("index check", {applied}), kExitOk);
  }
}

#if !defined(_WIN32)
// On Linux a name may hold a backslash, which the installation's rule (and
// the launcher, and every file call of the tool) reads as a separator: such
// a file could never be read back under its name, so it is refused.
TEST(Diff, ABackslashInsideALinuxNameIsRefused) {
  TempWorkDir dir;
  writeRelease("old", {1, {}, {}});
  writeRelease("new", {2, {}, {}});
  writeWholeFile("new/ui\\skin.txt", "skin");
  testing::internal::CaptureStderr();
  EXPECT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitFailed);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("ui\\skin.txt has a backslash in its name"), std::string::npos) << err;
}
#endif

// Entries listed out of offset order, overlapping, and larger than a read
// window: each key's bytes are still read whole and right.
TEST(Diff, ReadsEntriesThatOverlapOrComeOutOfOrder) {
  TempWorkDir dir;
  std::string bytes = bytesOf(3u << 20, 'w');
  fs::create_directories("old");
  writeWholeFile("old/GAME0.VFS", bytes);
  // Key 1: the middle 2 MiB; key 2: overlaps its start; key 3: the very
  // first bytes, listed last; key 4: the tail, crossing every window.
  std::vector<archive::FileEntry> entries = {
      {1, 1u << 20, 2u << 20}, {2, (1u << 20) - 10, 100}, {4, 5, (3u << 20) - 5}, {3, 0, 7}};
  ASSERT_TRUE(archive::writeIndexFile("old/data.idx", 1, {{"GAME0.VFS", entries}}));
  auto slice = [&bytes](std::uint32_t from, std::uint32_t size) { return bytes.substr(from, size); };
  ReleaseSpec same{1,
                   {{"A.VFS",
                     {{4, slice(5, (3u << 20) - 5)},
                      {3, slice(0, 7)},
                      {2, slice((1u << 20) - 10, 100)},
                      {1, slice(1u << 20, 2u << 20)}}}},
                   {}};
  writeRelease("new", same);
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitOk);
  EXPECT_TRUE(!fs::exists("out") || packagesIn("out").empty());
  EXPECT_EQ(runTool("compare", {"old", "new"}), kExitOk);

  same.version = 2;
  same.archives[0].files[0].second[(2u << 20) + 3] ^= 1;  // key 4, past the second window
  fs::remove_all("new");
  writeRelease("new", same);
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out2"}), kExitOk);
  EXPECT_EQ(storedKeysOf("out2"), std::vector<std::uint32_t>{4});
  EXPECT_EQ(runTool("compare", {"old", "new"}), kExitFailed);
  std::string applied = applyToCopy("old", "out2", "applied");
  EXPECT_EQ(runTool("compare", {applied, "new"}), kExitOk);
}

// A key with no bytes may lie where its archive ends, far past what the
// read before it took in: it is read as nothing, not past the end.
TEST(Diff, AnEmptyKeyWhereItsArchiveEndsIsRead) {
  TempWorkDir dir;
  std::string bytes = bytesOf(1u << 20, 'e');
  for (const char* side : {"old", "new"}) {
    fs::create_directories(side);
    writeWholeFile(std::string(side) + "/GAME0.VFS", bytes);
    std::string index = std::string(side) + "/data.idx";
    ASSERT_TRUE(archive::writeIndexFile(index.c_str(), 1, {{"GAME0.VFS", {{1, 0, 10}, {2, 1u << 20, 0}}}}));
  }
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitOk);
  EXPECT_TRUE(!fs::exists("out") || packagesIn("out").empty());
}

TEST(Diff, SplitsPackagesAt65535Items) {
  TempWorkDir dir;
  Keys many;
  for (std::uint32_t key = 1; key <= 65536; ++key) many.push_back({key, std::string(1, static_cast<char>(key))});
  writeRelease("old", {9, {}, {}});
  writeRelease("new", {11, {{"GAME0.VFS", many}}, {}});
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitOk);
  std::vector<std::pair<std::string, int>> packages = packagesIn("out");
  ASSERT_EQ(packages.size(), 2u);
  archive::PatchPackage first, second;
  ASSERT_TRUE(archive::loadPatchPackageReadOnly(first, packages[0].first.c_str()));
  ASSERT_TRUE(archive::loadPatchPackageReadOnly(second, packages[1].first.c_str()));
  EXPECT_EQ(first.itemCount, 65535);
  EXPECT_EQ(second.itemCount, 1);
  EXPECT_EQ(first.version, 10);
  EXPECT_EQ(second.version, 11);
  archive::closePatchPackage(first);
  closePatchPackage(second);
  std::string applied = applyToCopy("old", "out", "applied");
  EXPECT_EQ(runTool("compare", {applied, "new"}), kExitOk);
}

TEST(Diff, SplitItemsKeepsToTheItemAndByteLimits) {
  using Split = std::vector<std::pair<std::size_t, std::size_t>>;
  struct Case {
    const char* what;
    std::vector<std::uint64_t> sizes;
    std::size_t maxItems;
    std::uint64_t maxBytes;
    Split expected;
  } cases[] = {
      {"nothing", {}, 3, 100, {}},
      {"all in one", {10, 10, 10}, 3, 100, {{0, 3}}},
      {"the item limit", {10, 10, 10, 10, 10, 10, 10}, 3, 1000, {{0, 3}, {3, 3}, {6, 1}}},
      // 6 header bytes + 40 + 50 = 96 fits 100; 5 more would not.
      {"the byte limit", {40, 50, 5, 44, 50}, 10, 100, {{0, 2}, {2, 2}, {4, 1}}},
      {"exactly the byte limit", {47, 47}, 10, 100, {{0, 2}}},
      {"one byte over", {47, 48}, 10, 100, {{0, 1}, {1, 1}}},
      {"an item larger than the limit goes alone", {10, 500, 10}, 10, 100, {{0, 1}, {1, 1}, {2, 1}}},
  };
  for (const Case& c : cases) EXPECT_EQ(splitItems(c.sizes, c.maxItems, c.maxBytes), c.expected) << c.what;
}

TEST(Diff, PackageNamesAreTheNumbersPublishTakes) {
  struct Case {
    const char* name;
    bool valid;
    std::uint32_t number;
  } cases[] = {{"1.dat", true, 1},   {"65535.dat", true, 65535},   {"0.dat", true, 0},   {"65536.dat", false, 0},
               {"01.dat", false, 0}, {".1.dat.partial", false, 0}, {"1.DAT", false, 0},  {"x.dat", false, 0},
               {".dat", false, 0},   {"1.dat.txt", false, 0},      {"-1.dat", false, 0}, {"123456.dat", false, 0}};
  for (const Case& c : cases) {
    std::uint32_t number = 0;
    EXPECT_EQ(parsePackageFileName(c.name, &number), c.valid) << c.name;
    if (c.valid) {
      EXPECT_EQ(number, c.number) << c.name;
      EXPECT_EQ(packageFileName(number), c.name);
    }
  }
}

TEST(Diff, TheInstallationsMachineryIsNeverALooseFile) {
  archive::ArchiveSet index;
  index.archives.push_back(std::make_unique<archive::ArchiveSlot>());
  index.archives.back()->name = "extra.pak";
  index.archives.back()->archive = std::make_unique<archive::Archive>();
  index.archives.back()->archive->name = "extra.pak";
  struct Case {
    const char* name;
    bool machinery;
  } cases[] = {
      {"data.idx", true},
      {"DATA.IDX", true},
      {"data.idx.new", true},
      {"extra.pak", true},
      {"Extra.PAK.", true},
      {"GAME0.VFS", true},
      {"game12.vfs", true},
      {"GAME0~1.VFS", true},
      {"Start VLM.exe", true},
      {"start vlm.exe.old", true},
      {"start-vlm", true},
      {"start-vlm.old", true},
      {"KeUpdate.exe", true},
      {"KeUpdate", true},
      {"launcher.bin", true},
      {"Kelda.bin", true},
      {"Kelda.exe", true},
      {"kelda.exe ", true},
      {"Kelda", true},
      {"KELDA.", true},
      {"release.rec", true},
      {"release-linux.rec", true},
      {"cver.v", true},
      {"cver.v.new", true},
      {"rseq.v", true},
      {"patch.hpl", true},
      {"Lumenfall.ini", true},
      {"5.rar", true},
      {"-3.dat", true},
      {"12.rar.part", true},
      {"anything.part", true},
      {"vlm-patch-apply.dat", true},
      {"data\\GAME0.VFS", false},
      {"tools/launcher.bin", false},
      {"sub\\Kelda.exe", false},
      {"sub/Kelda", false},
      {"Kelda.txt", false},
      {"Keldas", false},
      {"sub/x.part", false},
      {"readme.txt", false},
      {"1a.dat", false},
      {"Kelda.exe.txt", false},
      {"partial", false},
      {"cver.v2", false},
  };
  for (const Case& c : cases) EXPECT_EQ(isMachineryName(index, c.name), c.machinery) << c.name;
}

TEST(Diff, MachineryIsLeftOutAndTheOperatorToldAboutTheClient) {
  TempWorkDir dir;
  writeRelease("old", {1,
                       {},
                       {{"Kelda.exe", "client 1"},
                        {"Kelda", "Linux client 1"},
                        {"start-vlm", "Linux launcher"},
                        {"Lumenfall.ini", "[PLAY]\nLANGUAGE=1\n"}}});
  writeRelease("new", {2,
                       {},
                       {{"Kelda.exe", "client 2"},
                        {"Kelda", "Linux client 2"},
                        {"start-vlm", "Linux launcher"},
                        {"release-linux.rec", "record"},
                        {"Start VLM.exe", "launcher"},
                        {"KeUpdate.exe", "updater"},
                        {"launcher.bin", "l"},
                        {"Kelda.bin", "k"},
                        {"cver.v", "v"},
                        {"rseq.v", "r"},
                        {"patch.hpl", "p"},
                        {"data.idx.new", "i"},
                        {"GAME7.VFS", "stray archive"},
                        {"Kelda.bin.part", "part"},
                        {"3.rar", "rar"},
                        {"Lumenfall.ini", "[PLAY]\nLANGUAGE=2\n"},
                        {"tools/launcher.bin", "a game file of that name"}}});
  testing::internal::CaptureStdout();
  int code = runTool("diff", {"old", "new", "-o", "out"});
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(code, kExitOk);
  EXPECT_EQ(namesOf("out"), std::vector<std::string>{"3 tools\\launcher.bin"});
  EXPECT_NE(out.find("Kelda.exe differs between the releases: publish it with vlm-patch publish-client"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\nnote: Kelda differs between the releases: publish it with vlm-patch publish-client"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Start VLM.exe differs"), std::string::npos) << out;
  EXPECT_EQ(out.find("start-vlm differs"), std::string::npos) << "the same in both\n" << out;
  EXPECT_NE(out.find("Lumenfall.ini differs"), std::string::npos) << out;
  std::string applied = applyToCopy("old", "out", "applied");
  EXPECT_EQ(runTool("compare", {applied, "new"}), kExitOk) << "machinery is not part of the comparison";
}

TEST(Diff, RefusesWhatNoPackageCanReach) {
  struct Case {
    const char* what;
    void (*prepare)();
    const char* message;
  } cases[] = {
    {"a file where OLD has a directory",
     [] {
       writeRelease("old", {1, {}, {{"docs/a.txt", "a"}}});
       writeRelease("new", {2, {}, {{"docs", "now a file"}}});
     },
     "docs is a file where"},
    {"a file under the name of one of OLD's archives",
     [] {
       writeRelease("old", {1, {{"extra.pak", {{1, "a"}}}}, {}});
       writeRelease("new", {2, {{"GAME0.VFS", {{1, "a"}}}}, {{"extra.pak", "loose"}}});
     },
     "has the name of an archive of"},
    {"an archive named outside the installation",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {{"../outside.VFS", {{1, "a"}}}}, {}});
     },
     "names an archive outside the installation: ../outside.VFS"},
    {"a key beyond the end of its archive",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {{"GAME0.VFS", {{1, "abcdef"}}}}, {}});
       writeWholeFile("new/GAME0.VFS", "abc");
     },
     "key 0x00000001 lies beyond the end of GAME0.VFS"},
    {"a key listed twice",
     [] {
       writeRelease("old", {1, {{"GAME0.VFS", {{5, "a"}, {5, "b"}}}}, {}});
       writeRelease("new", {2, {}, {}});
     },
     "lists key 0x00000005 more than once"},
    {"a key listed twice in NEW",
     [] {
       writeRelease("old", {1, {{"GAME0.VFS", {{5, "a"}}}}, {}});
       writeRelease("new", {2, {{"GAME0.VFS", {{5, "a"}}}, {"GAME1.VFS", {{5, "b"}}}}, {}});
     },
     "new: data.idx lists key 0x00000005 more than once"},
    {"no installation at all",
     [] {
       writeRelease("old", {1, {}, {}});
       fs::create_directories("new");
     },
     "no data.idx here"},
    {"OLD at the last patch number",
     [] {
       writeRelease("old", {65535, {}, {}});
       writeRelease("new", {65535, {}, {{"a.txt", "a"}}});
     },
     "65535 is the last patch number"},
#if !defined(_WIN32)
    // On Windows a file of a device's name cannot be made: writing
    // "sub/aux.txt" writes to the AUX device.
    {"a name the installation's rule refuses",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {}, {{"sub/aux.txt", "device"}}});
     },
     "sub\\aux.txt is not a name a patch may carry"},
    // Windows paths of this length pass MAX_PATH in the test's own directory.
    {"a name longer than an item holds",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {}, {{std::string(120, 'd') + "/" + std::string(150, 'f'), "long"}}});
     },
     "longer than the 259 bytes a patch item's name holds"},
    {"a symbolic link in the release",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {}, {{"real.txt", "r"}}});
       writeWholeFile("secret.key", "the operator's key");
       fs::create_symlink("../secret.key", "new/innocent.txt");
     },
     "innocent.txt is a link; links are not followed"},
    {"a linked directory in the release",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {}, {}});
       fs::create_directories("elsewhere");
       writeWholeFile("elsewhere/x.txt", "x");
       fs::create_directory_symlink("../elsewhere", "new/music");
     },
     "music is a link"},
    {"an archive that is a link",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {{"GAME0.VFS", {{1, "a"}}}}, {}});
       fs::rename("new/GAME0.VFS", "archive.bin");
       fs::create_symlink("../archive.bin", "new/GAME0.VFS");
     },
     "the archive GAME0.VFS is a link"},
    {"an archive that is a pipe",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {{"GAME0.VFS", {{1, "a"}}}}, {}});
       fs::remove("new/GAME0.VFS");
       ASSERT_EQ(::mkfifo("new/GAME0.VFS", 0600), 0);
     },
     "the archive GAME0.VFS is not a regular file"},
    {"a loose file that is a pipe",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {}, {}});
       ASSERT_EQ(::mkfifo("new/music.ogg", 0600), 0);
     },
     "music.ogg is not a regular file"},
    {"two names that are one file on Windows",
     [] {
       writeRelease("old", {1, {}, {}});
       writeRelease("new", {2, {}, {{"Data/a.txt", "1"}, {"data/A.TXT", "2"}}});
     },
     "are one file on Windows"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    c.prepare();
    testing::internal::CaptureStderr();
    int code = runTool("diff", {"old", "new", "-o", "out"});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, kExitFailed);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_FALSE(fs::exists("out")) << "nothing is written";
  }
}

TEST(Diff, KeysNewLacksStopItUnlessAllowed) {
  TempWorkDir dir;
  writeRelease("old", {1, {{"GAME0.VFS", {{7, "seven"}, {8, "eight"}, {9, "nine"}}}}, {}});
  writeRelease("new", {2, {{"GAME0.VFS", {{8, "EIGHT"}}}}, {}});
  testing::internal::CaptureStderr();
  int code = runTool("diff", {"old", "new", "-o", "out"});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, kExitStaleKeys);
  EXPECT_NE(err.find("2 keys of old are missing from new"), std::string::npos) << err;
  EXPECT_NE(err.find("0x00000007"), std::string::npos) << err;
  EXPECT_NE(err.find("0x00000009"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists("out"));

  testing::internal::CaptureStdout();
  code = runTool("diff", {"old", "new", "-o", "out", "--allow-stale-keys"});
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(code, kExitOk);
  EXPECT_NE(out.find("note: 2 keys of old are missing from new"), std::string::npos) << out;
  std::string applied = applyToCopy("old", "out", "applied");
  EXPECT_EQ(installationContents(applied),
            (std::map<std::uint32_t, std::string>{{7, "seven"}, {8, "EIGHT"}, {9, "nine"}}));
}

// Keys that differ from another in one bit only, for every bit, listed in
// another order on each side: a pairing that looked at part of a key only
// would pair some of them wrongly.
TEST(Diff, PairsKeysOverTheirWholeRange) {
  TempWorkDir dir;
  std::vector<std::uint32_t> keys = {0, 0xFFFFFFFF};
  for (int bit = 0; bit < 32; ++bit) {
    keys.push_back(1u << bit);
    keys.push_back(~(1u << bit));
  }
  Keys olds, news;
  std::vector<std::uint32_t> changed, lacked;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::string bytes = "key " + std::to_string(i);
    olds.push_back({keys[i], bytes});
    if (i % 5 == 3) {
      lacked.push_back(keys[i]);
      continue;
    }
    if (i % 3 == 0) {
      bytes += " changed";
      changed.push_back(keys[i]);
    }
    news.insert(news.begin(), {keys[i], bytes});
  }
  writeRelease("old", {1, {{"GAME0.VFS", olds}}, {}});
  writeRelease("new", {2, {{"GAME0.VFS", news}}, {}});
  testing::internal::CaptureStderr();
  int code = runTool("diff", {"old", "new", "-o", "out"});
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(code, kExitStaleKeys);
  std::sort(lacked.begin(), lacked.end());
  std::size_t from = 0;
  for (std::uint32_t key : lacked) {
    std::size_t at = err.find(hexKey(key), from);
    ASSERT_NE(at, std::string::npos) << hexKey(key) << " listed, after the keys below it\n" << err;
    from = at;
  }

  testing::internal::CaptureStdout();
  code = runTool("diff", {"old", "new", "-o", "out", "--allow-stale-keys"});
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(code, kExitOk);
  std::sort(changed.begin(), changed.end());
  EXPECT_EQ(storedKeysOf("out"), changed);
}

// Many keys spread over the whole range as name hashes are, listed in
// another order and another number of archives on each side.
TEST(Diff, PairsManyKeysListedInAnotherOrder) {
  TempWorkDir dir;
  std::mt19937 random(12);
  std::set<std::uint32_t> seen;
  std::vector<std::uint32_t> keys;
  while (keys.size() < 20000)
    if (std::uint32_t key = static_cast<std::uint32_t>(random()); seen.insert(key).second) keys.push_back(key);
  ReleaseSpec old{1, {{"GAME0.VFS", {}}, {"GAME1.VFS", {}}}, {}};
  ReleaseSpec now{2, {{"GAME0.VFS", {}}, {"GAME1.VFS", {}}, {"GAME2.VFS", {}}}, {}};
  std::vector<std::uint32_t> stored;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    std::string bytes = std::to_string(keys[i]);
    bool added = i % 50 == 1, changed = i % 7 == 0;
    if (!added) old.archives[i % 2].files.push_back({keys[i], bytes});
    if (changed) bytes += "!";
    if (added || changed) stored.push_back(keys[i]);
    now.archives[i % 3].files.push_back({keys[i], bytes});
  }
  for (ArchiveContents& archive : now.archives) std::shuffle(archive.files.begin(), archive.files.end(), random);
  writeRelease("old", old);
  writeRelease("new", now);
  testing::internal::CaptureStdout();
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitOk);
  testing::internal::GetCapturedStdout();
  std::sort(stored.begin(), stored.end());
  EXPECT_EQ(storedKeysOf("out"), stored);
}

TEST(Diff, NumbersFromFirstAndKeepsToAnOutputWithoutPackages) {
  TempWorkDir dir;
  writeRelease("old", {4, {}, {{"gone.txt", "g"}}});
  writeRelease("new", {22, {{"GAME0.VFS", {{1, "a"}}}}, {{"new.txt", "n"}}});
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out", "--first", "20"}), kExitOk);
  std::vector<std::string> names;
  for (const auto& package : packagesIn("out")) names.push_back(fs::path(package.first).filename().string());
  EXPECT_EQ(names, (std::vector<std::string>{"20.dat", "21.dat", "22.dat"}));
  EXPECT_EQ(typesOf("out"), (std::vector<int>{1, 4, 3}));

  EXPECT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitFailed) << "out holds packages already";
  EXPECT_EQ(runTool("diff", {"old", "new", "-o", "new/patches"}), kExitFailed) << "inside NEW";
  EXPECT_EQ(runTool("diff", {"old", "new", "-o", "old/"}), kExitFailed) << "OLD itself";
  EXPECT_FALSE(fs::exists("new/patches"));
  EXPECT_EQ(runTool("diff", {"old", "new", "-o", "out2", "--first", "0"}), kExitUsage);
  EXPECT_EQ(runTool("diff", {"old", "new", "-o", "out2", "--first", "65536"}), kExitUsage);
  EXPECT_EQ(runTool("diff", {"old", "new"}), kExitUsage);
  EXPECT_EQ(runTool("diff", {"old", "-o", "out2"}), kExitUsage);
  // The package numbers may not pass 65535.
  EXPECT_EQ(runTool("diff", {"old", "new", "-o", "out3", "--first", "65534"}), kExitFailed);
  EXPECT_FALSE(fs::exists("out3"));
}

TEST(Diff, AFailedWriteLeavesNoPackageBehind) {
  TempWorkDir dir;
  writeRelease("old", {1, {}, {{"gone.txt", "g"}}});
  writeRelease("new", {4, {{"GAME0.VFS", {{1, "a"}}}}, {{"new.txt", "n"}}});
  // Something in the way of one package's temporary file: the key's
  // package (written while NEW is read), the deletion's or the file's.
  for (const char* blocked : {".2.dat.partial", ".3.dat.partial", ".4.dat.partial"}) {
    SCOPED_TRACE(blocked);
    fs::remove_all("out");
    fs::create_directories(std::string("out/") + blocked);
    EXPECT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitFailed);
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator("out")) left.push_back(entry.path().filename().string());
    EXPECT_EQ(left, std::vector<std::string>{blocked});
  }
}

// A flush that fails, while the key package grows past its first flush,
// when a package cut at --max-patch-size is finished, or when a package is
// put in place: the diff fails and leaves nothing, not even the packages
// put in place before. After a failed flush the system may have dropped
// what it could not write, so a later one that succeeds must not count.
int flushCalls = 0, failingFlush = 0;
bool failOneFlush(platform::FileHandle) { return ++flushCalls == failingFlush; }

TEST(Diff, AFailedFlushLeavesNoPackageBehind) {
  TempWorkDir dir;
  Keys olds, news;
  for (std::uint32_t key = 1; key <= 3; ++key) {  // 3 MiB of changed keys: past the first flush
    olds.push_back({key, bytesOf(1 << 20, 'a')});
    news.push_back({key, bytesOf(1 << 20, 'b')});
  }
  writeRelease("old", {1, {{"GAME0.VFS", olds}}, {}});
  writeRelease("new", {4, {{"GAME0.VFS", news}}, {}});
  const platform::FileSystemHooks hooks{nullptr, failOneFlush, nullptr};
  struct Case {
    const char* what;
    Args args;
    int failing;        // the flush that fails, counted from 1
    const char* named;  // the package the failure names
  } cases[] = {
      {"while it grows", {"old", "new", "-o", "out", "--pad"}, 1, "out/.2.dat.partial"},
      {"when it is put in place", {"old", "new", "-o", "out", "--pad"}, 2, "out/.2.dat.partial"},
      // A key to a package: the second, 3.dat, is finished with 2 MiB not
      // flushed, and flushed before 2.dat is put in place.
      {"when a package is finished", {"old", "new", "-o", "out", "--max-patch-size", "2M"}, 1, "out/.3.dat.partial"},
      {"when the second is put in place",
       {"old", "new", "-o", "out", "--max-patch-size", "2M"},
       3,
       "out/.3.dat.partial"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    flushCalls = 0;
    failingFlush = c.failing;
    platform::setFileSystemHooks(&hooks);
    testing::internal::CaptureStderr();
    int code = runTool("diff", c.args);
    std::string err = testing::internal::GetCapturedStderr();
    platform::resetTestHooks();
    EXPECT_EQ(code, kExitFailed);
    EXPECT_GE(flushCalls, c.failing);
    EXPECT_NE(err.find(c.named), std::string::npos) << err;
    EXPECT_FALSE(fs::exists("out")) << "the output directory the diff made is gone again";
  }
}

TEST(Diff, EqualReleasesGiveNoPackages) {
  TempWorkDir dir;
  ReleaseSpec release{6, {{"GAME0.VFS", {{1, "a"}, {2, "b"}}}}, {{"x/y.txt", "y"}}};
  writeRelease("old", release);
  writeRelease("new", release);
  testing::internal::CaptureStdout();
  int code = runTool("diff", {"old", "new", "-o", "out"});
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(code, kExitOk);
  EXPECT_NE(out.find("hold the same keys and files: no packages"), std::string::npos) << out;
  EXPECT_TRUE(!fs::exists("out") || packagesIn("out").empty());
}

// The values are XXH3's (64 bits, seed 0) as Debian's libxxhash computes
// them. Lengths cross each of the digest's inner forms (up to 16, 128 and
// 240 bytes, then stripes and blocks of 1 KiB), and the largest is above the
// window diff reads through, which it digests in pieces.
TEST(Digest, GivesXxh3sValuesWholeOrInPieces) {
  std::string ramp768, ramp300k;
  for (int i = 0; i < 768; ++i) ramp768.push_back(static_cast<char>(i & 0xFF));
  for (int i = 0; i < 300000; ++i) ramp300k.push_back(static_cast<char>(i * 7 + (i >> 8)));
  struct Case {
    std::string data;
    std::uint64_t digest;
  } cases[] = {
      {"", 0x2D06800538D394C2ull},
      {"a", 0xE6C632B61E964E1Full},
      {"abc", 0x78AF5F94892F3950ull},
      {std::string(31, 'x'), 0x987FADAA1D896370ull},
      {std::string(33, 'y'), 0xC2EA333557BF834Eull},
      {std::string(241, 'z'), 0xC9B6E99DE4449036ull},
      {ramp768, 0x4066A57F4496584Aull},
      {ramp300k, 0xF231384F525DAE9Full},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(digestOf(c.data.data(), c.data.size()), c.digest) << c.data.size() << " bytes";
    for (std::size_t piece : {1u, 7u, 64u, 1000u, 65536u}) {
      if (piece == 1 && c.data.size() > 1000) continue;
      DigestStream stream;
      for (std::size_t at = 0; at < c.data.size(); at += piece)
        stream.add(c.data.data() + at, std::min(piece, c.data.size() - at));
      EXPECT_EQ(stream.digest(), c.digest) << c.data.size() << " bytes in pieces of " << piece;
    }
  }
}

}  // namespace
}  // namespace vlmpatch
