#include "platform/file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "core/planted_links.h"
#include "support/temp_dir.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace fs = std::filesystem;

namespace {

TEST(ReplaceFileAtomically, PutsTheNewFileInPlaceWhole) {
  TempWorkDir dir;
  writeWholeFile("data.idx", "old index");
  writeWholeFile("data.idx.new", "new index");
  ASSERT_TRUE(platform::replaceFileAtomically("data.idx.new", "data.idx"));
  EXPECT_EQ(readWholeFile("data.idx"), "new index");
  EXPECT_FALSE(fileExists("data.idx.new"));
  EXPECT_FALSE(platform::replaceFileAtomically("missing", "data.idx"));
  EXPECT_EQ(readWholeFile("data.idx"), "new index");
}

TEST(Paths, BackslashSeparatesOnEveryPlatform) {
  TempWorkDir dir;
  fs::create_directories(fs::path("sub") / "dir");
  writeWholeFile((fs::path("sub") / "dir" / "f.bin").string(), "x");
  EXPECT_TRUE(platform::pathExists("sub\\dir\\f.bin"));
  EXPECT_TRUE(platform::isDirectory("sub\\dir"));
  EXPECT_FALSE(platform::isDirectory("sub\\dir\\f.bin"));
}

// An installation "inst" with an "outside" folder beside it that no call
// made with a name inside the installation may change.
void makeInstallationBesideOutside() {
  fs::create_directories(fs::path("inst") / "realdir");
  fs::create_directories(fs::path("outside") / "sub");
  writeWholeFile("inst/plain.txt", "plain");
  writeWholeFile("outside/victim", "outside data");
}

void expectOutsideUntouched() {
  EXPECT_EQ(readWholeFile("outside/victim"), "outside data");
  std::vector<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator("outside")) names.push_back(entry.path().generic_string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"outside/sub", "outside/victim"}));
}

struct PlantedLink {
  LinkKind kind;
  const char* target;  // what inst/lnk points at
  const char* name;    // a name the calls are given that passes through or ends in the link
  const char* newDirectory;
};

const PlantedLink kPlantedLinks[] = {
    {LinkKind::kDirectory, "outside", "inst\\lnk\\victim", "inst/lnk\\made"},
    {LinkKind::kJunction, "outside", "inst\\lnk\\victim", "inst/lnk\\made"},
    {LinkKind::kDirectory, "outside", "inst/lnk/sub/deeper.txt", "inst/lnk/sub/made"},
    {LinkKind::kFile, "outside/victim", "inst\\lnk", "inst\\lnk"},
    {LinkKind::kDangling, "outside/made", "inst\\lnk", "inst\\lnk"},
};

TEST(NoFollow, NoCallPassesThroughOrEndsInALink) {
  int planted = 0;
  for (const PlantedLink& c : kPlantedLinks) {
    SCOPED_TRACE(std::string(linkKindName(c.kind)) + " " + c.name);
    TempWorkDir dir;
    LinkPlanter links;  // goes before the directory holding its links
    makeInstallationBesideOutside();
    if (!links.plant(c.kind, "inst/lnk", c.target)) {
      noteUnplantable(c.kind);
      continue;
    }
    ++planted;
    EXPECT_EQ(platform::createFileNoFollow(c.name), platform::kNoFile);
    EXPECT_FALSE(platform::deleteFileNoFollow(c.name));
    EXPECT_FALSE(platform::createDirectoryNoFollow(c.newDirectory));
    expectOutsideUntouched();
    if (linkIsVisible(c.kind)) {
      EXPECT_TRUE(platform::nameCrossesLink(c.name));
      EXPECT_TRUE(platform::nameCrossesLink(c.newDirectory));
      EXPECT_TRUE(platform::nameCrossesLink("inst\\lnk")) << "the link itself is still there";
    }
  }
  EXPECT_GT(planted, 0) << "no kind of link could be planted here";
}

TEST(NoFollow, PlainNamesCrossNoLink) {
  TempWorkDir dir;
  makeInstallationBesideOutside();
  for (const char* name :
       {"inst", "inst\\plain.txt", "inst/realdir", "inst\\missing\\deeper", "missing", "inst\\plain.txt\\below"}) {
    EXPECT_FALSE(platform::nameCrossesLink(name)) << name;
  }
}

TEST(NoFollow, CreatesCutsAndDeletesPlainFiles) {
  TempWorkDir dir;
  makeInstallationBesideOutside();
  for (const char* name : {"inst\\realdir\\new.bin", "inst/plain.txt"}) {
    platform::FileHandle file = platform::createFileNoFollow(name);
    ASSERT_NE(file, platform::kNoFile) << name;
    std::uint64_t size = 1;
    EXPECT_TRUE(platform::getFileSize(file, &size));
    EXPECT_EQ(size, 0u) << name;
    EXPECT_TRUE(platform::writeFileAt(file, 0, "new", 3));
    platform::closeFile(file);
    EXPECT_EQ(readWholeFile(platform::nativePath(name)), "new");
  }
  EXPECT_EQ(platform::createFileNoFollow("inst\\realdir"), platform::kNoFile) << "a directory is no file";
  EXPECT_EQ(platform::createFileNoFollow("inst\\missing\\new.bin"), platform::kNoFile);
  EXPECT_EQ(platform::createFileNoFollow(""), platform::kNoFile);

  EXPECT_TRUE(platform::deleteFileNoFollow("inst\\plain.txt"));
  EXPECT_FALSE(fileExists("inst/plain.txt"));
  EXPECT_FALSE(platform::deleteFileNoFollow("inst\\plain.txt")) << "already gone";
  EXPECT_FALSE(platform::deleteFileNoFollow("inst\\realdir")) << "a directory is no file";
  EXPECT_TRUE(platform::isDirectory("inst/realdir"));
}

TEST(NoFollow, CreatesDirectoriesOneAtATime) {
  TempWorkDir dir;
  makeInstallationBesideOutside();
  EXPECT_TRUE(platform::createDirectoryNoFollow("inst\\made"));
  EXPECT_TRUE(platform::isDirectory("inst/made"));
  EXPECT_TRUE(platform::createDirectoryNoFollow("inst/made")) << "one that exists is fine";
  EXPECT_TRUE(platform::createDirectoryNoFollow("inst/made\\deeper"));
  EXPECT_TRUE(platform::isDirectory("inst/made/deeper"));
  EXPECT_FALSE(platform::createDirectoryNoFollow("inst\\plain.txt")) << "a file is no directory";
  EXPECT_FALSE(platform::createDirectoryNoFollow("inst\\missing\\deeper")) << "parents are not made here";
  EXPECT_FALSE(fileExists("inst/missing"));
}

#if !defined(_WIN32)
// A planted pipe would hold an open for writing until someone reads it.
TEST(NoFollow, APipeIsNoFileAndDoesNotHoldTheCall) {
  TempWorkDir dir;
  ASSERT_EQ(::mkfifo("pipe", 0644), 0);
  EXPECT_EQ(platform::createFileNoFollow("pipe"), platform::kNoFile);
}

// A replaced client executable must stay runnable on Linux, whichever way
// the new file arrives.
TEST(ReplacingAFile, KeepsThePermissionsOfTheFileItReplaces) {
  TempWorkDir dir;
  for (bool byRename : {true, false}) {
    writeWholeFile("Kelda.exe", "old client");
    fs::permissions("Kelda.exe", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
    writeWholeFile("Kelda.bin", "new client");
    fs::permissions("Kelda.bin", fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_TRUE(byRename ? platform::replaceFileAtomically("Kelda.bin", "Kelda.exe")
                         : platform::copyFileReplacing("Kelda.bin", "Kelda.exe").ok());
    EXPECT_EQ(readWholeFile("Kelda.exe"), "new client");
    EXPECT_EQ(fs::status("Kelda.exe").permissions(),
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec)
        << (byRename ? "rename" : "copy");
    fs::remove("Kelda.bin");
  }
}
#endif

}  // namespace
