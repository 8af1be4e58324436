// What the update program does to the launcher's directory.
#include "update/launcher_replace.h"

#include <gtest/gtest.h>

#include <string>

#include "flow_fixture.h"

namespace {

class LauncherReplace : public LauncherDirectoryTest {
 protected:
  std::string launcher() { return here(update::kLauncherExecutableName); }
};

TEST_F(LauncherReplace, PutsTheNewLauncherInPlaceAndDropsTheBackup) {
  writeWholeFile(launcher(), "old launcher");
  writeWholeFile(here("launcher.bin"), "new launcher");
  std::string why;
  ASSERT_EQ(update::replaceLauncher(directory_, 1000, &why), update::LauncherReplacement::kReplaced) << why;
  EXPECT_EQ(readWholeFile(launcher()), "new launcher");
  EXPECT_FALSE(fileExists(here("launcher.bin")));
  EXPECT_FALSE(fileExists(launcher() + update::kLauncherBackupSuffix));
}

TEST_F(LauncherReplace, WithoutANewLauncherTheOldOneStays) {
  writeWholeFile(launcher(), "old launcher");
  std::string why;
  EXPECT_EQ(update::replaceLauncher(directory_, 1000, &why), update::LauncherReplacement::kNoNewLauncher);
  EXPECT_NE(why.find("launcher.bin"), std::string::npos) << why;
  EXPECT_EQ(readWholeFile(launcher()), "old launcher");
}

TEST_F(LauncherReplace, AnEmptyNewLauncherIsRefused) {
  writeWholeFile(launcher(), "old launcher");
  writeWholeFile(here("launcher.bin"), "");
  EXPECT_EQ(update::replaceLauncher(directory_, 1000, nullptr), update::LauncherReplacement::kNoNewLauncher);
  EXPECT_EQ(readWholeFile(launcher()), "old launcher");
}

TEST_F(LauncherReplace, AMissingLauncherIsSimplyPutThere) {
  writeWholeFile(here("launcher.bin"), "new launcher");
  ASSERT_EQ(update::replaceLauncher(directory_, 1000, nullptr), update::LauncherReplacement::kReplaced);
  EXPECT_EQ(readWholeFile(launcher()), "new launcher");
}

TEST_F(LauncherReplace, CommandLineQuotesTheLauncherPath) {
  std::string line = update::launcherCommandLine(directory_);
  EXPECT_EQ(line, "\"" + directory_ + "\\" + update::kLauncherExecutableName + "\"");
}

}  // namespace
