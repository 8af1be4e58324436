// vlm-patch diff and compare as an operator runs them: the real executable,
// its exit codes, and its progress on a terminal.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "archive/patch_package.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

using Keys = std::vector<std::pair<std::uint32_t, std::string>>;

struct ToolRun {
  int code;
  std::string out;
};

ToolRun vlmPatch(const std::string& arguments) {
  std::string command = "'" VLM_PATCH_EXE "' " + arguments + " > cli-out.txt 2>&1";
  int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readWholeFile("cli-out.txt")};
}

TEST(DiffCli, HelpNamesTheExitCodesAndTheUsageExitsWithTwo) {
  TempWorkDir dir;
  ToolRun help = vlmPatch("diff --help");
  EXPECT_EQ(help.code, 0);
  EXPECT_NE(help.out.find("usage: vlm-patch diff OLD_INSTALL NEW_INSTALL -o OUT_DIR [--first N | --last N] [--pad] "
                          "[--max-patch-size BYTES] [--allow-stale-keys]"),
            std::string::npos)
      << help.out;
  EXPECT_NE(help.out.find("(default 64M; 1K to 2G"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("exits with code 3"), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("exits with code 4"), std::string::npos) << help.out;
  ToolRun setVersion = vlmPatch("index set-version --help");
  EXPECT_EQ(setVersion.code, 0);
  EXPECT_NE(setVersion.out.find("usage: vlm-patch index set-version INSTALL_DIR N"), std::string::npos)
      << setVersion.out;
  for (const char* wrong :
       {"index set-version", "index set-version new", "index set-version new 65536", "index set-version new -1",
        "diff old new -o out --last 3 --pad", "diff old new -o out --first 2 --last 3", "diff old new -o out --last 0",
        "diff old new -o out --last 65536"})
    EXPECT_EQ(vlmPatch(wrong).code, 2) << wrong;
  ToolRun compare = vlmPatch("compare --help");
  EXPECT_EQ(compare.code, 0);
  EXPECT_NE(compare.out.find("0 when equal, 1 when they differ"), std::string::npos) << compare.out;
  EXPECT_EQ(vlmPatch("diff").code, 2);
  EXPECT_EQ(vlmPatch("compare").code, 2);
  ToolRun all = vlmPatch("--help");
  EXPECT_NE(all.out.find("vlm-patch publish SERVER_DIR PACKAGE.dat|MANIFEST|OUT_DIR"), std::string::npos) << all.out;
}

TEST(DiffCli, ExitCodesOfDiffAndCompare) {
  TempWorkDir dir;
  writeRelease("old", {1, {{"GAME0.VFS", {{1, "a"}, {2, "b"}}}}, {}});
  writeRelease("new", {2, {{"GAME0.VFS", {{1, "A"}}}}, {}});
  ToolRun stale = vlmPatch("diff old new -o out");
  EXPECT_EQ(stale.code, 3) << stale.out;
  EXPECT_NE(stale.out.find("0x00000002"), std::string::npos) << stale.out;
  ToolRun allowed = vlmPatch("diff old new -o out --allow-stale-keys");
  EXPECT_EQ(allowed.code, 0) << allowed.out;
  EXPECT_EQ(vlmPatch("compare old new").code, 1);
  EXPECT_EQ(vlmPatch("compare new new").code, 0);
}

// script(1) gives the tool a terminal; the bar is drawn there and nowhere
// else.
TEST(DiffCli, ShowsProgressOnATerminalOnly) {
  TempWorkDir dir;
  // The key's package is written while the archives are read; the loose
  // file's after them.
  writeRelease("old", {1, {{"GAME0.VFS", {{1, bytesOf(4 << 20, 'a')}}}}, {{"notes.txt", "a"}}});
  writeRelease("new", {3, {{"GAME0.VFS", {{1, bytesOf(4 << 20, 'b')}}}}, {{"notes.txt", "b"}}});
  std::string command = "script -qec \"'" VLM_PATCH_EXE "' diff old new -o out\" /dev/null > tty-out.txt 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string terminal = readWholeFile("tty-out.txt");
  EXPECT_NE(terminal.find("reading archives ["), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("writing packages ["), std::string::npos) << terminal;
  EXPECT_NE(terminal.find("100%"), std::string::npos) << terminal;
  fs::remove_all("out");
  ToolRun redirected = vlmPatch("diff old new -o out");
  EXPECT_EQ(redirected.code, 0);
  EXPECT_EQ(redirected.out.find("reading archives"), std::string::npos) << redirected.out;
}

// The packages of a directory, in number order, each as "<number> type
// <type>"; a package whose header carries another version than its name's
// number shows it ("... version <v>").
std::vector<std::string> packagesOf(const std::string& dir) {
  std::vector<std::string> found;
  if (!fs::exists(dir)) return found;
  for (const auto& [path, type] : packagesIn(dir)) {
    std::string number = fs::path(path).stem().string();
    std::string line = number + " type " + std::to_string(type);
    archive::PatchPackage package;
    if (!archive::loadPatchPackageReadOnly(package, path.c_str()) || std::to_string(package.version) != number)
      line += " version " + std::to_string(package.version);
    archive::closePatchPackage(package);
    found.push_back(line);
  }
  return found;
}

// The read-me's check of a diff: its packages applied in order to a copy of
// old, then compared with new, the version included. compare's exit code.
int readMeCheck(const std::string& out) {
  fs::remove_all("check");
  fs::copy("old", "check", fs::copy_options::recursive);
  std::string packages;
  for (const auto& package : packagesIn(out)) packages += " " + package.first;
  if (!packages.empty()) {
    ToolRun applied = vlmPatch("apply check" + packages);
    EXPECT_EQ(applied.code, 0) << applied.out;
  }
  ToolRun compared = vlmPatch("compare check new");
  EXPECT_EQ(compared.code, 0) << compared.out;
  return compared.code;
}

// Old is at version 10; new changes a key and a file (two packages) or
// nothing, at the version of each case.
void writeReleases(std::uint32_t newVersion, bool changed) {
  fs::remove_all("old");
  fs::remove_all("new");
  writeRelease("old", {10, {{"GAME0.VFS", {{1, "one"}, {2, "two"}}}}, {{"readme.txt", "old notes"}}});
  writeRelease("new", {newVersion,
                       {{"GAME0.VFS", {{1, "one"}, {2, changed ? "TWO" : "two"}}}},
                       {{"readme.txt", changed ? "new notes" : "old notes"}}});
}

// New's version must be the last package's number (old's, with no package),
// or an installation made from new skips the patches published next or
// fetches those it holds; the packages must begin above old's version.
// Each case that goes through passes the read-me's check.
TEST(DiffCli, PackageNumbersLineUpWithTheReleasesVersions) {
  TempWorkDir dir;
  struct Case {
    const char* what;
    std::uint32_t newVersion;
    bool changed;
    const char* options;
    int code;
    std::vector<std::string> packages;
    const char* message;  // in the output, when refused
  } cases[] = {
      {"lined up", 12, true, "", 0, {"11 type 1", "12 type 3"}, ""},
      {"new above the last package",
       14,
       true,
       "",
       4,
       {},
       "would never fetch patches 13 to 14 when the server publishes them next. Give --pad to follow the packages "
       "with empty ones up to 14, --last 14 to number them so that the last is 14 (for a server that holds the "
       "patches before them already), or give new's index the number 12 (vlm-patch index set-version new 12)"},
      {"padded up to new", 14, true, "--pad", 0, {"11 type 1", "12 type 3", "13 type 0", "14 type 0"}, ""},
      {"numbered to end at new", 14, true, "--last 14", 0, {"13 type 1", "14 type 3"}, ""},
      {"--last other than new's version", 14, true, "--last 15", 4, {}, "--last 15 is not new's version 14"},
      {"--last reaching down to old's version",
       11,
       true,
       "--last 11",
       4,
       {},
       "numbered from 10, not above the old release's version 10: an installation of it would never fetch them; "
       "with 2 packages, --last takes at least 12"},
      {"new below the last package",
       11,
       true,
       "",
       4,
       {},
       "would fetch patch 12 again, which it holds already; give new's index the number 12 (vlm-patch index "
       "set-version new 12)"},
      {"new below the last package, --pad", 11, true, "--pad", 4, {}, "vlm-patch index set-version new 12"},
      {"nothing to patch at old's version", 10, false, "", 0, {}, ""},
      {"nothing to patch, new above old",
       12,
       false,
       "",
       4,
       {},
       "above 10, the old release's version (there is nothing to patch): an installation made from new would "
       "never fetch patches 11 to 12 when the server publishes them next. Give --pad to write empty packages up "
       "to 12, or give new's index the number 10"},
      {"nothing to patch, padded", 12, false, "--pad", 0, {"11 type 0", "12 type 0"}, ""},
      {"nothing to patch, --last", 12, false, "--last 12", 4, {}, "no package to number with --last"},
      {"nothing to patch, new below old", 9, false, "--pad", 4, {}, "vlm-patch index set-version new 10"},
      {"from --first, padded",
       23,
       true,
       "--first 20 --pad",
       0,
       {"20 type 1", "21 type 3", "22 type 0", "23 type 0"},
       ""},
      {"--first at old's version", 12, true, "--first 10", 4, {}, "--first takes a number above 10"},
      {"new past the last patch number, --pad", 70000, true, "--pad", 4, {}, "past 65535, the last patch number"},
      {"new past the last patch number",
       70000,
       true,
       "",
       4,
       {},
       "no package can carry a number past 65535: give new's index the number 12"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    writeReleases(c.newVersion, c.changed);
    fs::remove_all("out");
    ToolRun diff = vlmPatch(std::string("diff old new -o out ") + c.options);
    EXPECT_EQ(diff.code, c.code) << diff.out;
    EXPECT_EQ(packagesOf("out"), c.packages);
    if (c.code == 0) {
      readMeCheck("out");
    } else {
      EXPECT_NE(diff.out.find(c.message), std::string::npos) << diff.out;
      EXPECT_NE(diff.out.find("; nothing was written"), std::string::npos) << diff.out;
      EXPECT_FALSE(fs::exists("out"));
    }
  }
}

// The mend for a new release below the last package: give it that number.
TEST(DiffCli, ANewReleaseBelowItsPackagesIsMendedWithSetVersion) {
  TempWorkDir dir;
  writeReleases(11, true);
  ASSERT_EQ(vlmPatch("diff old new -o out").code, 4);
  ToolRun set = vlmPatch("index set-version new 12");
  EXPECT_EQ(set.code, 0) << set.out;
  EXPECT_NE(set.out.find("new: data.idx now at version 12 (was 11)"), std::string::npos) << set.out;
  ToolRun diff = vlmPatch("diff old new -o out");
  ASSERT_EQ(diff.code, 0) << diff.out;
  EXPECT_EQ(packagesOf("out"), (std::vector<std::string>{"11 type 1", "12 type 3"}));
  EXPECT_EQ(readMeCheck("out"), 0);
}

// Keys 1 to count, each of size bytes from seed.
Keys keysOf(std::uint32_t count, std::size_t size, char seed) {
  Keys keys;
  for (std::uint32_t key = 1; key <= count; ++key) keys.push_back({key, bytesOf(size, static_cast<char>(seed + key))});
  return keys;
}

// A diff cut at --max-patch-size: applied in order, its packages still take
// old to new, and each patch archive (packed as publish packs it) holds at
// most the limit, but for a package of one item larger than that.
//
// With a limit of 4096 bytes a package holds at most 4028 (4096 less the
// archive's 68 around "65535.dat"): a key item is 8 bytes and its data, a
// written file's 8 bytes, its name and its data, a deleted file's 8 bytes
// and its name, after the package's 6-byte header.
TEST(DiffCli, PackagesAreCutSoNoPatchPassesTheLimit) {
  TempWorkDir dir;
  ReleaseSpec tenKeys = {10, {{"GAME0.VFS", keysOf(10, 1000, 'a')}}, {}};
  ReleaseSpec tenChanged = {14, {{"GAME0.VFS", keysOf(10, 1000, 'b')}}, {}};
  // 300 deletions of 22 bytes each, 182 to a package; "maps" gives way to a
  // directory, deleted in the second package, before its file is written.
  ReleaseSpec looseOld = {10, {{"GAME0.VFS", {{1, "k"}}}}, {{"maps", "a file"}}};
  for (int i = 0; i < 300; ++i) looseOld.files["gone/f-" + std::to_string(1000 + i).substr(1) + ".txt"] = "x";
  ReleaseSpec looseNew = {16, {{"GAME0.VFS", {{1, "K"}}}}, {{"maps/a.txt", bytesOf(1500, 'm')}}};
  for (int i = 1; i <= 4; ++i) looseNew.files["w" + std::to_string(i) + ".bin"] = bytesOf(1500, 'w');
  auto withVersion = [](ReleaseSpec release, std::uint32_t version) {
    release.version = version;
    return release;
  };
  struct Case {
    const char* what;
    ReleaseSpec oldRelease, newRelease;
    const char* options;  // besides -o out
    std::uint64_t limit;  // the patch size the options give
    int code;
    std::vector<std::string> packages;
    std::vector<std::string> alone;  // may pass the limit: one item each
    std::vector<std::string> full;   // their patch archive is the limit exactly
    const char* message;             // in the output, when refused
  } cases[] = {
      {"many keys, the default 64M", tenKeys, withVersion(tenChanged, 11), "", 64 << 20, 0, {"11 type 1"}},
      {"many keys over the limit",
       tenKeys,
       tenChanged,
       "--max-patch-size 4K",
       4096,
       0,
       {"11 type 1", "12 type 1", "13 type 1", "14 type 1"}},
      {"one key larger than the limit goes alone",
       {10, {{"GAME0.VFS", keysOf(3, 10, 'a')}}, {}},
       {13, {{"GAME0.VFS", {{1, bytesOf(1000, 'b')}, {2, bytesOf(10000, 'c')}, {3, bytesOf(1000, 'd')}}}}, {}},
       "--max-patch-size 4096",
       4096,
       0,
       {"11 type 1", "12 type 1", "13 type 1"},
       {"12"}},
      {"the limit exactly hit",
       {10000, {{"GAME0.VFS", keysOf(2, 10, 'a')}}, {}},
       {10001, {{"GAME0.VFS", keysOf(2, 2003, 'b')}}, {}},
       "--max-patch-size 4k",
       4096,
       0,
       {"10001 type 1"},
       {},
       {"10001"}},
      {"one byte over the limit",
       {10000, {{"GAME0.VFS", keysOf(2, 10, 'a')}}, {}},
       {10002, {{"GAME0.VFS", {{1, bytesOf(2003, 'b')}, {2, bytesOf(2004, 'c')}}}}, {}},
       "--max-patch-size 4K",
       4096,
       0,
       {"10001 type 1", "10002 type 1"}},
      {"loose files over the limit",
       looseOld,
       looseNew,
       "--max-patch-size 4K",
       4096,
       0,
       {"11 type 1", "12 type 4", "13 type 4", "14 type 3", "15 type 3", "16 type 3"}},
      {"with --last",
       tenKeys,
       withVersion(tenChanged, 20),
       "--last 20 --max-patch-size 4K",
       4096,
       0,
       {"17 type 1", "18 type 1", "19 type 1", "20 type 1"}},
      {"with --pad",
       tenKeys,
       withVersion(tenChanged, 16),
       "--max-patch-size 4K --pad",
       4096,
       0,
       {"11 type 1", "12 type 1", "13 type 1", "14 type 1", "15 type 0", "16 type 0"}},
      {"with --first",
       tenKeys,
       withVersion(tenChanged, 33),
       "--first 30 --max-patch-size 4K",
       4096,
       0,
       {"30 type 1", "31 type 1", "32 type 1", "33 type 1"}},
      {"new at the version of one package, refused",
       tenKeys,
       withVersion(tenChanged, 11),
       "--max-patch-size 4K",
       4096,
       4,
       {},
       {},
       {},
       "would fetch patches 12 to 14 again, which it holds already; give new's index the number 14"},
      {"--last too low for the packages, refused",
       tenKeys,
       withVersion(tenChanged, 12),
       "--max-patch-size 4K --last 12",
       4096,
       4,
       {},
       {},
       {},
       "with 4 packages, --last takes at least 14"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all("old");
    fs::remove_all("new");
    fs::remove_all("out");
    fs::remove_all("rar");
    writeRelease("old", c.oldRelease);
    writeRelease("new", c.newRelease);
    ToolRun diff = vlmPatch(std::string("diff old new -o out ") + c.options);
    EXPECT_EQ(diff.code, c.code) << diff.out;
    EXPECT_EQ(packagesOf("out"), c.packages);
    if (c.code != 0) {
      EXPECT_NE(diff.out.find(c.message), std::string::npos) << diff.out;
      EXPECT_NE(diff.out.find("; nothing was written"), std::string::npos) << diff.out;
      EXPECT_FALSE(fs::exists("out"));
      continue;
    }
    if (diff.code != 0) continue;  // told above
    EXPECT_EQ(readMeCheck("out"), 0);
    fs::create_directories("rar");
    for (const auto& [path, type] : packagesIn("out")) {
      std::string number = fs::path(path).stem().string();
      std::string rar = "rar/" + number + ".rar";
      ToolRun pack = vlmPatch("pack " + path + " " + rar);
      ASSERT_EQ(pack.code, 0) << pack.out;
      std::uint64_t size = fs::file_size(rar);
      bool alone = std::find(c.alone.begin(), c.alone.end(), number) != c.alone.end();
      bool full = std::find(c.full.begin(), c.full.end(), number) != c.full.end();
      archive::PatchPackage package;
      ASSERT_TRUE(archive::loadPatchPackageReadOnly(package, path.c_str()));
      std::size_t items = package.items.size();
      archive::closePatchPackage(package);
      if (alone) {
        EXPECT_GT(size, c.limit) << number;
        EXPECT_EQ(items, 1u) << number;
        EXPECT_NE(diff.out.find("note: " + number + ".dat holds one item too large for a patch of 4 KiB"),
                  std::string::npos)
            << diff.out;
      } else if (full) {
        EXPECT_EQ(size, c.limit) << number;
      } else {
        EXPECT_LE(size, c.limit) << number;
      }
    }
  }
}

// --max-patch-size takes bytes, or K, M or G, from 1 KiB to 2 GiB; anything
// else is refused before anything is read or written.
TEST(DiffCli, MaxPatchSizeTakesASizeFrom1KTo2G) {
  TempWorkDir dir;
  writeRelease("old", {1, {{"GAME0.VFS", {{1, "a"}}}}, {}});
  writeRelease("new", {2, {{"GAME0.VFS", {{1, "b"}}}}, {}});
  for (const char* wrong : {"''", "0", "1023", "1023K0", "4KB", "4KiB", "-4K", "+4K", "1.5M", "' 4K'", "'4 K'",
                            "0x1000", "K", "4T", "3G", "2049M", "2147483649", "99999999999999999999999"}) {
    SCOPED_TRACE(wrong);
    ToolRun run = vlmPatch(std::string("diff old new -o out --max-patch-size ") + wrong);
    EXPECT_EQ(run.code, 2) << run.out;
    EXPECT_NE(run.out.find("vlm-patch: --max-patch-size takes a size from 1 KiB to 2 GiB in bytes, or with K, M or "
                           "G for KiB, MiB or GiB (64M), not '"),
              std::string::npos)
        << run.out;
    EXPECT_FALSE(fs::exists("out"));
  }
  ToolRun missing = vlmPatch("diff old new -o out --max-patch-size");
  EXPECT_EQ(missing.code, 2) << missing.out;
  EXPECT_NE(missing.out.find("usage: vlm-patch diff"), std::string::npos) << missing.out;
  for (const char* right : {"1K", "1024", "2G", "2g", "2048M", "2147483648", "64m"}) {
    SCOPED_TRACE(right);
    fs::remove_all("out");
    ToolRun run = vlmPatch(std::string("diff old new -o out --max-patch-size ") + right);
    EXPECT_EQ(run.code, 0) << run.out;
    EXPECT_EQ(packagesOf("out"), std::vector<std::string>{"2 type 1"});
  }
}

// Runs script with sh in a mount namespace of its own, where "disk" (made
// first in the working directory) may be mounted: as root with unshare -m,
// as another user in a user namespace of its own too (-r). False when the
// system refuses the namespace.
bool inMountNamespace(const std::string& script) {
  fs::create_directories("disk");
  std::string command =
      std::string(::geteuid() == 0 ? "unshare -m" : "unshare -rm") + " sh -c '" + script + "' > /dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// A real full disk: the packages go onto a file system of 256 KiB of its
// own. diff says "No space left on device" and leaves nothing there but
// an output directory the operator made.
TEST(DiffCli, AFullDiskIsToldWithTheSystemsReasonAndLeavesNothing) {
  TempWorkDir dir;
  const std::string mount = "mount -t tmpfs -o size=256k tmpfs disk";
  if (!inMountNamespace(mount)) GTEST_SKIP() << "unshare is refused here: no file system of its own to fill";
  struct Case {
    const char* what;
    ReleaseSpec newRelease;
    bool outMade;  // the operator made the output directory
    const char* left;
  } cases[] = {
      {"the keys' package, written while NEW is read",
       {2, {{"GAME0.VFS", {{1, bytesOf(2 << 20, 'n')}}}}, {}},
       false,
       ""},
      {"a loose file's package, once the keys' is written",
       {3, {{"GAME0.VFS", {{1, "small"}}}}, {{"movie.bik", bytesOf(1 << 20, 'm')}}},
       false,
       ""},
      {"into a directory the operator made",
       {2, {{"GAME0.VFS", {{1, bytesOf(2 << 20, 'n')}}}}, {}},
       true,
       "disk/out\n"},
  };
  writeRelease("old", {1, {{"GAME0.VFS", {{1, "old"}}}}, {}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all("new");
    writeRelease("new", c.newRelease);
    std::string script = mount + (c.outMade ? " && mkdir disk/out" : "") +
                         " && { \"" VLM_PATCH_EXE
                         "\" diff old new -o disk/out > out.txt 2>&1; echo $? > code.txt; find disk -mindepth 1 > "
                         "left.txt; }";
    ASSERT_TRUE(inMountNamespace(script));
    EXPECT_EQ(readWholeFile("code.txt"), "1\n");
    std::string out = readWholeFile("out.txt");
    EXPECT_NE(out.find("No space left on device"), std::string::npos) << out;
    EXPECT_NE(out.find("disk/out"), std::string::npos) << out;
    EXPECT_EQ(readWholeFile("left.txt"), c.left);
  }
}

}  // namespace
}  // namespace vlmpatch
