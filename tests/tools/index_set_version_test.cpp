// vlm-patch index set-version: the version alone changes, written as the
// launcher writes its index; nothing is written through a link, over a
// damaged index or while another program holds the installation.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/file.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

const ReleaseSpec kInstallation{11, {{"GAME0.VFS", {{1, "one"}, {2, "two"}}}, {"GAME1.VFS", {{3, "three"}}}}, {}};

TEST(IndexSetVersion, RewritesTheVersionAlone) {
  TempWorkDir dir;
  writeRelease("inst", kInstallation);
  std::string before = readWholeFile("inst/data.idx");
  testing::internal::CaptureStdout();
  ASSERT_EQ(runTool("index set-version", {"inst", "12"}), kExitOk);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("inst: data.idx now at version 12 (was 11)"), std::string::npos) << out;
  std::string after = readWholeFile("inst/data.idx");
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(after.substr(0, 4), std::string("\x0C\x00\x00\x00", 4));
  EXPECT_EQ(after.substr(4), before.substr(4)) << "the archives and entries stay as they were";
  EXPECT_FALSE(fs::exists("inst/data.idx.new"));
  EXPECT_EQ(installationContents("inst"), (std::map<std::uint32_t, std::string>{{1, "one"}, {2, "two"}, {3, "three"}}));

  testing::internal::CaptureStdout();
  EXPECT_EQ(runTool("index set-version", {"inst", "0x0C"}), kExitOk);
  out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("inst: data.idx is at version 12 already"), std::string::npos) << out;
  EXPECT_EQ(runTool("index set-version", {"inst", "0"}), kExitOk);
  EXPECT_EQ(readWholeFile("inst/data.idx").substr(0, 4), std::string(4, '\0'));
}

TEST(IndexSetVersion, RefusesWhatItMustNotWrite) {
  struct Case {
    const char* what;
    void (*prepare)();
    const char* message;
  } cases[] = {
    {"no installation", [] { fs::create_directories("inst"); }, "no data.idx here"},
    {"a damaged index",
     [] {
       fs::create_directories("inst");
       writeWholeFile("inst/data.idx", std::string("\x0B\x00\x00\x00\x05\x00\x00\x00", 8));
     },
     "data.idx is damaged"},
    {"an archive another program holds",
     [] {
       writeRelease("inst", kInstallation);
       static platform::File held;
       held.reset(platform::openFileForExclusiveUpdate("inst/GAME1.VFS"));
       ASSERT_TRUE(held);
     },
     "GAME1.VFS in inst cannot be held (a launcher or vlm-patch at work there?)"},
#if !defined(_WIN32)
    {"data.idx a link",
     [] {
       writeRelease("elsewhere", kInstallation);
       fs::create_directories("inst");
       fs::create_symlink("../elsewhere/data.idx", "inst/data.idx");
     },
     "data.idx in inst is a link; links are not followed"},
    {"data.idx.new a link",
     [] {
       writeRelease("inst", kInstallation);
       writeWholeFile("victim.txt", "the operator's file");
       fs::create_symlink("../victim.txt", "inst/data.idx.new");
     },
     "data.idx.new in inst is a link; links are not followed"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    c.prepare();
    std::string before = fs::exists("inst/data.idx") ? readWholeFile("inst/data.idx") : "";
    std::string elsewhere = fs::exists("elsewhere/data.idx") ? readWholeFile("elsewhere/data.idx") : "";
    testing::internal::CaptureStderr();
    int code = runTool("index set-version", {"inst", "12"});
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, kExitFailed);
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
    EXPECT_EQ(fs::exists("inst/data.idx") ? readWholeFile("inst/data.idx") : "", before);
    EXPECT_EQ(fs::exists("elsewhere/data.idx") ? readWholeFile("elsewhere/data.idx") : "", elsewhere);
    if (fs::exists("victim.txt")) {
      EXPECT_EQ(readWholeFile("victim.txt"), "the operator's file");
    }
  }
}

}  // namespace
}  // namespace vlmpatch
