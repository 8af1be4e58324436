// vlm-patch compare: two installations are equal when players could not
// tell them apart, whatever the layout of their archives.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "tool_fixture.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

const ReleaseSpec kBase{5,
                        {{"GAME0.VFS", {{1, "one"}, {2, "two"}}}, {"GAME1.VFS", {{3, std::string(3 << 20, 'x')}}}},
                        {{"readme.txt", "read me"}, {"data/ui/font.fnt", "font"}}};

struct CompareCase {
  const char* what;
  ReleaseSpec b;
  int code;
  std::vector<std::string> lines;  // expected in the output, in this order
};

ReleaseSpec changed(void (*change)(ReleaseSpec&)) {
  ReleaseSpec release = kBase;
  change(release);
  return release;
}

TEST(Compare, ListsWhatPlayersWouldSee) {
  const CompareCase cases[] = {
      {"the same", kBase, kExitOk, {"a and b are equal"}},
      {"the same keys in another layout, with bytes nothing refers to",
       changed([](ReleaseSpec& r) {
         r.archives = {{"X.VFS", {{3, std::string(3 << 20, 'x')}, {2, "two"}}, 9}, {"Y.VFS", {{1, "one"}}, 1}};
       }),
       kExitOk,
       {"a and b are equal"}},
      {"a key only in a",
       changed([](ReleaseSpec& r) { r.archives[0].files.pop_back(); }),
       kExitFailed,
       {"key 0x00000002 only in ", "1 difference\n"}},
      {"a key only in b",
       changed([](ReleaseSpec& r) {
         r.archives[0].files.push_back({9, "nine"});
       }),
       kExitFailed,
       {"key 0x00000009 only in "}},
      {"a key of another size",
       changed([](ReleaseSpec& r) { r.archives[0].files[0].second = "uno!"; }),
       kExitFailed,
       {"key 0x00000001: 3 bytes in "}},
      {"a key with its last byte changed",
       changed([](ReleaseSpec& r) {
         std::string bytes = std::string(3 << 20, 'x');
         bytes.back() = 'y';
         r.archives[1].files[0].second = bytes;
       }),
       kExitFailed,
       {"key 0x00000003 holds other bytes in "}},
      {"a file only in a",
       changed([](ReleaseSpec& r) { r.files.erase("readme.txt"); }),
       kExitFailed,
       {"file readme.txt only in "}},
      {"a file only in b",
       changed([](ReleaseSpec& r) { r.files["new\\file.txt"] = "n"; }),
       kExitFailed,
       {"file new\\file.txt only in "}},
      {"a file with other bytes",
       changed([](ReleaseSpec& r) { r.files["data/ui/font.fnt"] = "FONT"; }),
       kExitFailed,
       {"file data\\ui\\font.fnt holds other bytes"}},
      {"another version", changed([](ReleaseSpec& r) { r.version = 6; }), kExitFailed, {"version 5 in "}},
      {"machinery is not compared",
       changed([](ReleaseSpec& r) {
         r.files["Kelda.exe"] = "client";
         r.files["cver.v"] = "v";
         r.files["GAME9.VFS"] = "stray";
       }),
       kExitOk,
       {"a and b are equal"}},
  };
  for (const CompareCase& c : cases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    writeRelease("a", kBase);
    writeRelease("b", c.b);
    testing::internal::CaptureStdout();
    int code = runTool("compare", {"a", "b"});
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, c.code) << out;
    std::size_t at = 0;
    for (const std::string& line : c.lines) {
      at = out.find(line, at);
      EXPECT_NE(at, std::string::npos) << line << " in:\n" << out;
    }
  }
}

TEST(Compare, BoundsTheListAndCountsTheRest) {
  TempWorkDir dir;
  ReleaseSpec a{1, {}, {}}, b{1, {}, {}};
  for (int i = 0; i < 25; ++i) b.files["f" + std::to_string(100 + i) + ".txt"] = "x";
  writeRelease("a", a);
  writeRelease("b", b);
  testing::internal::CaptureStdout();
  EXPECT_EQ(runTool("compare", {"a", "b"}), kExitFailed);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("file f119.txt only in"), std::string::npos) << out;
  EXPECT_EQ(out.find("file f120.txt"), std::string::npos) << out;
  EXPECT_NE(out.find("... and 5 more\n25 differences"), std::string::npos) << out;
}

TEST(Compare, UsageAndUnreadableInstallations) {
  TempWorkDir dir;
  writeRelease("a", kBase);
  EXPECT_EQ(runTool("compare", {"a"}), kExitUsage);
  EXPECT_EQ(runTool("compare", {"a", "b", "c"}), kExitUsage);
  EXPECT_EQ(runTool("compare", {"a", "missing"}), kExitFailed);
  writeRelease("short", kBase);
  writeWholeFile("short/GAME1.VFS", "cut");
  EXPECT_EQ(runTool("compare", {"a", "short"}), kExitFailed);
}

}  // namespace
}  // namespace vlmpatch
