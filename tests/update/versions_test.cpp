// "cver.v" beside the launcher and the numbers of the patch list.
#include "update/versions.h"

#include <gtest/gtest.h>

#include <string>

#include "flow_fixture.h"

namespace {

class VersionFile : public LauncherDirectoryTest {};

TEST_F(VersionFile, FirstRunCreatesEightZeroBytes) {
  ASSERT_TRUE(update::readVersionFile());
  EXPECT_EQ(readWholeFile(here("cver.v")), std::string(8, '\0'));
  EXPECT_EQ(update::launcherVersions.launcherVersion, 0u);
  EXPECT_EQ(update::launcherVersions.clientVersion, 0u);
}

TEST_F(VersionFile, AShortFileSetsOnlyWhatItHolds) {
  writeWholeFile(here("cver.v"), std::string("\x05\x00\x00\x00", 4));
  update::launcherVersions.clientVersion = 9;
  ASSERT_TRUE(update::readVersionFile());
  EXPECT_EQ(update::launcherVersions.launcherVersion, 5u);
  EXPECT_EQ(update::launcherVersions.clientVersion, 9u);
}

TEST_F(VersionFile, WriteAfterASelfUpdate) {
  update::launcherVersions.launcherVersion = 7;
  update::launcherVersions.clientVersion = 3;
  ASSERT_TRUE(update::writeVersionFile());
  EXPECT_EQ(readWholeFile(here("cver.v")), std::string("\x07\x00\x00\x00\x03\x00\x00\x00", 8));
  EXPECT_FALSE(fileExists(here("cver.v.new")));
  update::launcherVersions = update::LauncherVersions{};
  ASSERT_TRUE(update::readVersionFile());
  EXPECT_EQ(update::launcherVersions.launcherVersion, 7u);
  EXPECT_EQ(update::launcherVersions.clientVersion, 3u);
}

// The list's fields (update/patch_list.h): latestPatch, then a launcher and
// a client version for Windows (bytes 4..12) and for Linux (12..20). A
// launcher reads latestPatch and its own platform's pair; what the list does
// not hold whole keeps its value.
struct Pair {
  std::uint32_t launcher, client;
};
struct ListCase {
  const char* label;
  std::string bytes;
  std::uint32_t patch;  // before: 1
  Pair windows, linux;  // what each platform's launcher reads; before: 2, 3
  const char* trace;    // what the trace says of a short list; nullptr: nothing
};

class PatchList : public LauncherDirectoryTest, public ::testing::WithParamInterface<ListCase> {};

TEST_P(PatchList, ReadsLatestPatchAndThisPlatformsVersions) {
  writeWholeFile("patch.hpl", GetParam().bytes);
  update::launcherVersions.latestPatch = 1;
  update::launcherVersions.latestLauncher = 2;
  update::launcherVersions.latestClient = 3;
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(update::readPatchList("patch.hpl"));
  std::string trace = ::testing::internal::GetCapturedStdout();
  const Pair& expected =
      update::kThisPlatform == update::LauncherPlatform::kWindows ? GetParam().windows : GetParam().linux;
  EXPECT_EQ(update::launcherVersions.latestPatch, GetParam().patch);
  EXPECT_EQ(update::launcherVersions.latestLauncher, expected.launcher);
  EXPECT_EQ(update::launcherVersions.latestClient, expected.client);
  if (GetParam().trace) {
    EXPECT_NE(trace.find(GetParam().trace), std::string::npos) << trace;
  } else {
    EXPECT_EQ(trace.find("short"), std::string::npos) << trace;
  }
}

const std::string kTwenty("\x0d\0\0\0\x02\0\0\0\x04\0\0\0\x07\0\0\0\x08\0\0\0", 20);

INSTANTIATE_TEST_SUITE_P(
    Table, PatchList,
    ::testing::Values(
        ListCase{"Twenty", kTwenty, 13, {2, 4}, {7, 8}, nullptr},
        ListCase{"MoreThanTwenty", kTwenty + "\x09\0\0\0", 13, {2, 4}, {7, 8}, nullptr},
        ListCase{"Twelve", kTwenty.substr(0, 12), 13, {2, 4}, {2, 3}, nullptr},
        ListCase{"Sixteen", kTwenty.substr(0, 16), 13, {2, 4}, {7, 3}, nullptr},
        ListCase{"Nineteen", kTwenty.substr(0, 19), 13, {2, 4}, {7, 3}, nullptr},
        ListCase{"Empty", std::string(), 1, {2, 3}, {2, 3}, "The patch list is short: 0 of 12 bytes"},
        ListCase{
            "Six", std::string("\x0e\0\0\0\x09\0", 6), 14, {2, 3}, {2, 3}, "The patch list is short: 6 of 12 bytes"},
        ListCase{"Eleven",
                 std::string("\x0e\0\0\0\x09\0\0\0\x05\0\0", 11),
                 14,
                 {9, 3},
                 {2, 3},
                 "The patch list is short: 11 of 12 bytes"},
        ListCase{"Large",
                 std::string("\xff\xff\xff\xff\0\0\0\x80\0\0\0\0\xff\xff\xff\xff\0\0\0\x80", 20),
                 0xFFFFFFFFu,
                 {0x80000000u, 0},
                 {0xFFFFFFFFu, 0x80000000u},
                 nullptr}),
    [](const ::testing::TestParamInfo<ListCase>& p) { return p.param.label; });

TEST(PatchBaseUrl, IsTheBuildsHostUnlessTheEnvironmentSaysOtherwise) {
  std::string url = update::patchBaseUrl();
  EXPECT_EQ(url.rfind("http://", 0), 0u) << url;
  EXPECT_EQ(update::patchListUrl(), url + "/patch.hpl");
}

}  // namespace
