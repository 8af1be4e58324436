#include "platform/file.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

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

#if !defined(_WIN32)
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
                         : platform::copyFileReplacing("Kelda.bin", "Kelda.exe"));
    EXPECT_EQ(readWholeFile("Kelda.exe"), "new client");
    EXPECT_EQ(fs::status("Kelda.exe").permissions(),
              fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec)
        << (byRename ? "rename" : "copy");
    fs::remove("Kelda.bin");
  }
}
#endif

}  // namespace
