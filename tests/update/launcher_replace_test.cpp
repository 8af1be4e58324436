// What the update program does to the launcher's directory, and the command
// line that hands it the launcher to put in place.
#include "update/launcher_replace.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "flow_fixture.h"
#include "platform/crypto.h"

namespace {

update::FileDigest digestOf(const std::string& bytes) {
  update::FileDigest digest;
  digest.size = bytes.size();
  platform::sha256Of(bytes.data(), bytes.size(), digest.sha256.data());
  return digest;
}

class LauncherReplace : public LauncherDirectoryTest {
 protected:
  std::string launcher() { return here(update::kLauncherExecutableName); }
  std::string copy() { return launcher() + update::kLauncherCopySuffix; }
};

TEST_F(LauncherReplace, PutsTheCheckedLauncherInPlaceAndDropsTheRest) {
  writeWholeFile(launcher(), "old launcher");
  writeWholeFile(here("launcher.bin"), "new launcher");
  std::string why;
  ASSERT_EQ(update::replaceLauncher(directory_, digestOf("new launcher"), 1000, &why),
            update::LauncherReplacement::kReplaced)
      << why;
  EXPECT_EQ(readWholeFile(launcher()), "new launcher");
  EXPECT_FALSE(fileExists(here("launcher.bin")));
  EXPECT_FALSE(fileExists(copy()));
  EXPECT_FALSE(fileExists(launcher() + update::kLauncherBackupSuffix));
}

// The launcher in place is the update program's own copy of the bytes it
// checked, not launcher.bin renamed: a file that someone still holds under
// another name (here a hard link to launcher.bin) and changes afterwards
// does not change the launcher.
TEST_F(LauncherReplace, WhatIsPutInPlaceIsACopyOfTheBytesChecked) {
  writeWholeFile(launcher(), "old launcher");
  writeWholeFile(here("launcher.bin"), "new launcher");
  std::error_code failed;
  std::filesystem::create_hard_link(here("launcher.bin"), here("held-elsewhere"), failed);
  if (failed) GTEST_SKIP() << "no hard links here: " << failed.message();
  std::string why;
  ASSERT_EQ(update::replaceLauncher(directory_, digestOf("new launcher"), 1000, &why),
            update::LauncherReplacement::kReplaced)
      << why;
  writeWholeFile(here("held-elsewhere"), "swapped in");
  EXPECT_EQ(readWholeFile(launcher()), "new launcher");
}

// launcher.bin that is not the launcher the launcher checked: the old one
// stays, nothing of the new one is put anywhere.
struct MismatchCase {
  const char* label;
  const char* onDisk;   // launcher.bin; nullptr: none
  const char* checked;  // what the launcher checked
  update::LauncherReplacement outcome;
  const char* why;
};
void PrintTo(const MismatchCase& c, std::ostream* out) { *out << c.label; }

class LauncherReplaceRefuses : public LauncherReplace, public ::testing::WithParamInterface<MismatchCase> {};

TEST_P(LauncherReplaceRefuses, TheOldLauncherStays) {
  writeWholeFile(launcher(), "old launcher");
  if (GetParam().onDisk) writeWholeFile(here("launcher.bin"), GetParam().onDisk);
  std::string why;
  EXPECT_EQ(update::replaceLauncher(directory_, digestOf(GetParam().checked), 1000, &why), GetParam().outcome);
  EXPECT_NE(why.find(GetParam().why), std::string::npos) << why;
  EXPECT_EQ(readWholeFile(launcher()), "old launcher");
  EXPECT_FALSE(fileExists(copy()));
  EXPECT_FALSE(fileExists(launcher() + update::kLauncherBackupSuffix));
}

INSTANTIATE_TEST_SUITE_P(
    Table, LauncherReplaceRefuses,
    ::testing::Values(
        MismatchCase{"Missing", nullptr, "new launcher", update::LauncherReplacement::kNoNewLauncher,
                     "no new launcher"},
        MismatchCase{"Empty", "", "new launcher", update::LauncherReplacement::kNoNewLauncher, "is empty"},
        MismatchCase{"Shorter", "new launche", "new launcher", update::LauncherReplacement::kNotChecked,
                     "is 11 bytes, not the 12 bytes of the launcher that was checked"},
        MismatchCase{"Longer", "new launcher and more", "new launcher", update::LauncherReplacement::kNotChecked,
                     "is longer than the 12 bytes of the launcher that was checked"},
        MismatchCase{"SameSizeOtherBytes", "evil launcher", "new launcher!", update::LauncherReplacement::kNotChecked,
                     "not the checked launcher's"}),
    [](const ::testing::TestParamInfo<MismatchCase>& p) { return p.param.label; });

TEST_F(LauncherReplace, AMissingLauncherIsSimplyPutThere) {
  writeWholeFile(here("launcher.bin"), "new launcher");
  ASSERT_EQ(update::replaceLauncher(directory_, digestOf("new launcher"), 1000, nullptr),
            update::LauncherReplacement::kReplaced);
  EXPECT_EQ(readWholeFile(launcher()), "new launcher");
}

// A link planted under the name of the copy or of the backup is not
// written through.
TEST_F(LauncherReplace, ALinkUnderTheCopysOrTheBackupsNameIsNotFollowed) {
  for (const std::string& planted : {copy(), launcher() + update::kLauncherBackupSuffix}) {
    writeWholeFile(launcher(), "old launcher");
    writeWholeFile(here("launcher.bin"), "new launcher");
    writeWholeFile(here("elsewhere"), "not to be touched");
    std::error_code failed;
    std::filesystem::create_symlink(here("elsewhere"), planted, failed);
    if (failed) GTEST_SKIP() << "no symbolic links here: " << failed.message();
    std::string why;
    ASSERT_EQ(update::replaceLauncher(directory_, digestOf("new launcher"), 1000, &why),
              update::LauncherReplacement::kReplaced)
        << planted << ": " << why;
    EXPECT_EQ(readWholeFile(here("elsewhere")), "not to be touched") << planted;
    EXPECT_EQ(readWholeFile(launcher()), "new launcher") << planted;
  }
}

TEST_F(LauncherReplace, CommandLineQuotesTheLauncherPath) {
  std::string line = update::launcherCommandLine(directory_);
  EXPECT_EQ(line, "\"" + directory_ + "\\" + update::kLauncherExecutableName + "\"");
}

TEST(UpdateProgramCommandLine, CarriesTheCheckedSizeAndSha256) {
  const update::FileDigest checked = digestOf("new launcher");
  const std::string line = update::updateProgramCommandLine(checked);
  EXPECT_EQ(line, std::string(update::kUpdateProgramName) + " 12 " +
                      update::toHex(checked.sha256.data(), checked.sha256.size()));
  std::vector<std::string> words;
  for (std::size_t start = 0, end; start < line.size(); start = end + 1) {
    end = line.find(' ', start);
    if (end == std::string::npos) end = line.size();
    words.push_back(line.substr(start, end - start));
  }
  update::FileDigest read;
  std::string why;
  ASSERT_TRUE(update::parseUpdateProgramArguments({words.begin() + 1, words.end()}, &read, &why)) << why;
  EXPECT_EQ(read.size, checked.size);
  EXPECT_EQ(read.sha256, checked.sha256);
}

TEST(UpdateProgramCommandLine, MalformedArgumentsAreRefused) {
  const std::string hash(64, 'a');
  struct Case {
    const char* label;
    std::vector<std::string> arguments;
    const char* why;
  };
  const Case cases[] = {
      {"None", {}, "0 arguments"},
      {"SizeOnly", {"12"}, "1 arguments"},
      {"Three", {"12", hash, "x"}, "3 arguments"},
      {"ZeroSize", {"0", hash}, "not a whole number of bytes above 0"},
      {"NegativeSize", {"-12", hash}, "not a whole number"},
      {"SignedSize", {"+12", hash}, "not a whole number"},
      {"EmptySize", {"", hash}, "not a whole number"},
      {"SizeWithBlank", {"12 ", hash}, "not a whole number"},
      {"SizeAbove64Bits", {"18446744073709551616", hash}, "not a whole number"},
      {"SizeOf21Digits", {"000000000000000000012", hash}, "not a whole number"},
      {"ShortHash", {"12", std::string(63, 'a')}, "not 64 hex digits"},
      {"LongHash", {"12", std::string(66, 'a')}, "not 64 hex digits"},
      {"HashNotHex", {"12", std::string(63, 'a') + "g"}, "not 64 hex digits"},
  };
  for (const Case& c : cases) {
    update::FileDigest read;
    std::string why;
    EXPECT_FALSE(update::parseUpdateProgramArguments(c.arguments, &read, &why)) << c.label;
    EXPECT_NE(why.find(c.why), std::string::npos) << c.label << ": " << why;
  }
  update::FileDigest read;
  std::string why;
  EXPECT_TRUE(update::parseUpdateProgramArguments({"18446744073709551615", hash}, &read, &why)) << why;
  EXPECT_EQ(read.size, 18446744073709551615u);
}

}  // namespace
