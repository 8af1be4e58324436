// A patch archive never writes through a link that someone planted inside the
// installation: an "ext" entry whose name passes through or ends in one is
// skipped, and a package name that does fails the extraction. Links are real
// (tests/core/planted_links.h); an "outside" folder beside the installation
// must stay as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "core/planted_links.h"
#include "platform/file.h"
#include "platform/rar.h"
#include "support/temp_dir.h"
#include "tools/rar_writer/rar_writer.h"
#include "update/rar_extract.h"

namespace fs = std::filesystem;

namespace {

struct LinkCase {
  const char* label;
  LinkKind kind;
  const char* link;    // planted inside the installation
  const char* target;  // what it points at, beside the installation
  const char* entry;   // the archive's entry that would write through it
  bool extracts;       // what extractPatchArchive answers
  bool inTheWay;       // the trace names a link in the way (else the link lies beside it)
};
void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.label; }

// "victim.vlm-part" is the name an "ext" entry is first written under; the
// package is written straight under its own name, so a link at the
// temporary name it once had is left alone.
const LinkCase kLinkCases[] = {
    {"ExtThroughADirectoryLink", LinkKind::kDirectory, "lnkdir", "outside", "ext\\lnkdir\\victim", true, true},
    {"ExtCreatingDirectoriesThroughALink", LinkKind::kDirectory, "lnkdir", "outside", "ext\\lnkdir\\sub\\new.txt", true,
     true},
#if defined(_WIN32)
    {"ExtThroughAJunction", LinkKind::kJunction, "lnkdir", "outside", "ext\\lnkdir\\victim", true, true},
#endif
    {"ExtOntoAFileLink", LinkKind::kFile, "victim", "outside/victim", "ext\\victim", true, true},
    {"ExtOntoADanglingLink", LinkKind::kDangling, "victim", "outside/made", "ext\\victim", true, true},
    {"ExtOntoALinkAtItsTemporaryName", LinkKind::kDangling, "victim.vlm-part", "outside/made", "ext\\victim", true,
     true},
    {"PackageOntoAFileLink", LinkKind::kFile, "12.dat", "outside/victim", "12.dat", false, true},
    {"PackageOntoADanglingLink", LinkKind::kDangling, "12.dat", "outside/made", "12.dat", false, true},
    {"PackageBesideALinkAtTheOldTemporaryName", LinkKind::kDangling, "12.dat.vlm-part", "outside/made", "12.dat", true,
     false},
};

std::vector<std::string> namesUnder(const char* directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(directory)) names.push_back(entry.path().generic_string());
  std::sort(names.begin(), names.end());
  return names;
}

class PlantedLink : public ::testing::TestWithParam<LinkCase> {};

TEST_P(PlantedLink, IsNeverWrittenThrough) {
  const LinkCase& c = GetParam();
  TempWorkDir work;
  LinkPlanter links;  // after the directory: its links go first
  fs::create_directories("inst");
  fs::create_directories("outside");
  writeWholeFile("outside/victim", "outside data");
  if (!links.plant(c.kind, std::string("inst/") + c.link, c.target)) {
#if defined(_WIN32)
    noteUnplantable(c.kind);
    GTEST_SKIP() << "a " << linkKindName(c.kind) << " cannot be planted on this system";
#else
    FAIL() << "a " << linkKindName(c.kind) << " could not be planted";
#endif
  }
  // Under Wine a dangling link is invisible to every Windows call, the
  // library's included, which then writes through it: nothing to test there.
  if (!linkIsVisible(c.kind)) GTEST_SKIP() << "a " << linkKindName(c.kind) << " cannot be seen on this system";

  fs::current_path("inst");
  ASSERT_TRUE(platform::nameCrossesLink(c.link)) << "the planted " << linkKindName(c.kind) << " is seen";
  ASSERT_TRUE(writeStoredRar("in.rar", {{"ext\\fine.txt", "fine", false}, {c.entry, "from the patch", false}}));
  ::testing::internal::CaptureStdout();
  bool extracted = update::extractPatchArchive("in.rar", "12.dat");
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(extracted, c.extracts) << printed;
  EXPECT_EQ(printed.find("a link lies on its way or in its place") != std::string::npos, c.inTheWay) << printed;
  EXPECT_EQ(readWholeFile("fine.txt"), "fine") << "the other entries are extracted";
  if (c.extracts && std::string(c.entry) == "12.dat") {
    EXPECT_EQ(readWholeFile("12.dat"), "from the patch");
  }
  EXPECT_TRUE(platform::nameCrossesLink(c.link)) << "the link itself stays";
  fs::current_path("..");

  EXPECT_EQ(namesUnder("outside"), std::vector<std::string>{"outside/victim"});
  EXPECT_EQ(readWholeFile("outside/victim"), "outside data");
}

INSTANTIATE_TEST_SUITE_P(Table, PlantedLink, ::testing::ValuesIn(kLinkCases),
                         [](const ::testing::TestParamInfo<LinkCase>& p) { return p.param.label; });

// A directory left at the package's name by an earlier run is removed only
// as far as plain files and directories go: a link inside it is neither
// followed nor removed, the extraction fails as it did before such
// directories were removed, and the trace names the link.
struct LeftoverLinkCase {
  const char* label;
  LinkKind kind;
  const char* target;  // beside the installation
};
void PrintTo(const LeftoverLinkCase& c, std::ostream* os) { *os << c.label; }

class LeftoverWithALink : public ::testing::TestWithParam<LeftoverLinkCase> {};

TEST_P(LeftoverWithALink, IsNotRemovedThroughIt) {
  const LeftoverLinkCase& c = GetParam();
  TempWorkDir work;
  LinkPlanter links;  // after the directory: its links go first
  fs::create_directories("inst/12.dat/sub");
  fs::create_directories("outside/inner");
  writeWholeFile("outside/victim", "outside data");
  writeWholeFile("outside/inner/deep", "deep data");
  writeWholeFile("inst/12.dat/sub/plain", "from an earlier run");
  if (!links.plant(c.kind, "inst/12.dat/sub/lnk", c.target)) {
#if defined(_WIN32)
    noteUnplantable(c.kind);
    GTEST_SKIP() << "a " << linkKindName(c.kind) << " cannot be planted on this system";
#else
    FAIL() << "a " << linkKindName(c.kind) << " could not be planted";
#endif
  }
  if (!linkIsVisible(c.kind)) GTEST_SKIP() << "a " << linkKindName(c.kind) << " cannot be seen on this system";
  const std::vector<std::string> outsideBefore = namesUnder("outside");

  fs::current_path("inst");
  ASSERT_TRUE(writeStoredRar("in.rar", {{"patch\\12.dat", "package", false}}));
  ::testing::internal::CaptureStdout();
  bool extracted = update::extractPatchArchive("in.rar", "12.dat");
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(extracted) << printed;
  EXPECT_NE(printed.find("12.dat, left by an earlier run, cannot be removed: a link lies inside it: 12.dat"),
            std::string::npos)
      << printed;
  EXPECT_TRUE(platform::nameCrossesLink("12.dat/sub/lnk")) << "the link itself stays";
  fs::current_path("..");

  EXPECT_EQ(namesUnder("outside"), outsideBefore);
  EXPECT_EQ(readWholeFile("outside/victim"), "outside data");
  EXPECT_EQ(readWholeFile("outside/inner/deep"), "deep data");
}

const LeftoverLinkCase kLeftoverLinkCases[] = {
    {"ToADirectoryOutside", LinkKind::kDirectory, "outside"},
#if defined(_WIN32)
    {"JunctionToADirectoryOutside", LinkKind::kJunction, "outside"},
#endif
    {"ToAFileOutside", LinkKind::kFile, "outside/victim"},
};

INSTANTIATE_TEST_SUITE_P(Table, LeftoverWithALink, ::testing::ValuesIn(kLeftoverLinkCases),
                         [](const ::testing::TestParamInfo<LeftoverLinkCase>& p) { return p.param.label; });

#if !defined(_WIN32)
// On Linux the library is the launcher's own adapter, which writes the file
// itself: it too never writes through a link, whatever name it is given.
struct AdapterCase {
  const char* label;
  LinkKind kind;
  const char* target;
  const char* destination;
};
void PrintTo(const AdapterCase& c, std::ostream* os) { *os << c.label; }

class AdapterWithALink : public ::testing::TestWithParam<AdapterCase> {};

TEST_P(AdapterWithALink, RefusesToCreateTheFile) {
  const AdapterCase& c = GetParam();
  TempWorkDir work;
  LinkPlanter links;  // after the directory: its links go first
  fs::create_directories("outside");
  writeWholeFile("outside/victim", "outside data");
  ASSERT_TRUE(links.plant(c.kind, "lnk", c.target));
  ASSERT_TRUE(writeStoredRar("in.rar", {{"a.dat", "from the patch", false}}));
  std::unique_ptr<platform::RAROpenArchiveDataEx> open(new platform::RAROpenArchiveDataEx());
  std::unique_ptr<platform::RARHeaderDataEx> header(new platform::RARHeaderDataEx());
  std::string path = "in.rar";
  open->ArcName = &path[0];
  open->OpenMode = platform::kRarOpenModeExtract;
  platform::RarHandle archive = platform::rarOpenArchiveEx(open.get());
  ASSERT_EQ(open->OpenResult, 0u);
  ASSERT_EQ(platform::rarReadHeaderEx(archive, header.get()), 0);
  EXPECT_EQ(platform::rarProcessFile(archive, platform::kRarExtract, "", c.destination),
            static_cast<int>(platform::kRarCreateError));
  platform::rarCloseArchive(archive);
  EXPECT_EQ(namesUnder("outside"), std::vector<std::string>{"outside/victim"});
  EXPECT_EQ(readWholeFile("outside/victim"), "outside data");
  EXPECT_TRUE(platform::nameCrossesLink("lnk")) << "the link itself stays";
}

INSTANTIATE_TEST_SUITE_P(
    Table, AdapterWithALink,
    ::testing::Values(AdapterCase{"ThroughADirectoryLink", LinkKind::kDirectory, "outside", "lnk\\victim"},
                      AdapterCase{"MakingDirectoriesThroughALink", LinkKind::kDirectory, "outside", "lnk/sub/new.txt"},
                      AdapterCase{"OntoAFileLink", LinkKind::kFile, "outside/victim", "lnk"},
                      AdapterCase{"OntoADanglingLink", LinkKind::kDangling, "outside/made", "lnk"}),
    [](const ::testing::TestParamInfo<AdapterCase>& p) { return p.param.label; });
#endif

}  // namespace
