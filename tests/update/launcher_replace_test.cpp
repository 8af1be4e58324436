// What the update program does to the launcher's directory.
#include "update/launcher_replace.h"

#include <gtest/gtest.h>

#include <string>

#include "flow_fixture.h"

namespace {

class LauncherReplace : public LauncherDirectoryTest {
 protected:
  std::string launcher() { return here(kLauncherExecutableName); }
};

TEST_F(LauncherReplace, PutsTheNewLauncherInPlaceAndDropsTheBackup) {
  writeWholeFile(launcher(), "old launcher");
  writeWholeFile(here("launcher.bin"), "new launcher");
  std::string why;
  ASSERT_EQ(replaceLauncher(directory_, 1000, &why), LauncherReplacement::kReplaced) << why;
  EXPECT_EQ(readWholeFile(launcher()), "new launcher");
  EXPECT_FALSE(fileExists(here("launcher.bin")));
  EXPECT_FALSE(fileExists(launcher() + kLauncherBackupSuffix));
}

TEST_F(LauncherReplace, WithoutANewLauncherTheOldOneStays) {
  writeWholeFile(launcher(), "old launcher");
  std::string why;
  EXPECT_EQ(replaceLauncher(directory_, 1000, &why), LauncherReplacement::kNoNewLauncher);
  EXPECT_NE(why.find("launcher.bin"), std::string::npos) << why;
  EXPECT_EQ(readWholeFile(launcher()), "old launcher");
}

TEST_F(LauncherReplace, AnEmptyNewLauncherIsRefused) {
  writeWholeFile(launcher(), "old launcher");
  writeWholeFile(here("launcher.bin"), "");
  EXPECT_EQ(replaceLauncher(directory_, 1000, nullptr), LauncherReplacement::kNoNewLauncher);
  EXPECT_EQ(readWholeFile(launcher()), "old launcher");
}

TEST_F(LauncherReplace, AMissingLauncherIsSimplyPutThere) {
  writeWholeFile(here("launcher.bin"), "new launcher");
  ASSERT_EQ(replaceLauncher(directory_, 1000, nullptr), LauncherReplacement::kReplaced);
  EXPECT_EQ(readWholeFile(launcher()), "new launcher");
}

TEST_F(LauncherReplace, CommandLineQuotesTheLauncherPath) {
  std::string line = launcherCommandLine(directory_);
  EXPECT_EQ(line, "\"" + directory_ + "\\" + kLauncherExecutableName + "\"");
}

}  // namespace
