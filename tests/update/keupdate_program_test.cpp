// The update program run as a program, in a directory of its own with a
// launcher that records that it was started.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// A stand-in launcher: a shell script that notes it ran.
const char* kLauncherScript = "#!/bin/sh\necho \"$0\" > \"$(dirname \"$0\")/launcher-ran\"\n";

class KeUpdateProgram : public ::testing::Test {
 protected:
  void SetUp() override { fs::copy_file(VLM_KEUPDATE_BINARY, fs::path(work.path()) / "KeUpdate"); }
  int run(std::string* output) {
    std::string command = "\"" + work.path() + "/KeUpdate\" 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) *output += buffer;
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool launcherRan() {
    for (int i = 0; i < 100; ++i) {
      if (fs::exists("launcher-ran")) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  TempWorkDir work;
};

TEST_F(KeUpdateProgram, ReplacesTheLauncherAndStartsItAgain) {
  writeWholeFile("start-vlm", "#!/bin/sh\nexit 0\n");
  writeWholeFile("launcher.bin", kLauncherScript);
  std::string output;
  EXPECT_EQ(run(&output), 0) << output;
  EXPECT_EQ(readWholeFile("start-vlm"), kLauncherScript);
  EXPECT_FALSE(fs::exists("launcher.bin"));
  EXPECT_FALSE(fs::exists("start-vlm.old"));
  EXPECT_TRUE(launcherRan()) << "the new launcher was started: " << output;
  EXPECT_NE(fs::status("start-vlm").permissions() & fs::perms::owner_exec, fs::perms::none);
}

TEST_F(KeUpdateProgram, WithoutANewLauncherSaysWhyAndKeepsTheOldOne) {
  writeWholeFile("start-vlm", kLauncherScript);
  fs::permissions("start-vlm", fs::perms::owner_all);
  std::string output;
  EXPECT_EQ(run(&output), 1);
  EXPECT_NE(output.find("launcher.bin"), std::string::npos) << output;
  EXPECT_EQ(readWholeFile("start-vlm"), kLauncherScript);
  EXPECT_TRUE(launcherRan()) << "the old launcher still works and is started";
}

}  // namespace

#include "platform/process.h"

namespace {

TEST(StartProcessOnLinux, AWindowsNameFallsBackToItsLinuxTwin) {
  TempWorkDir work;
  writeWholeFile("Helper", "#!/bin/sh\necho \"$1\" > \"$(dirname \"$0\")/helper-ran\"\n");
  fs::permissions("Helper", fs::perms::owner_all);
  ASSERT_TRUE(platform::startProcess("Helper.exe first-argument"));
  for (int i = 0; i < 100 && !fs::exists("helper-ran"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(readWholeFile("helper-ran"), "first-argument\n");
}

}  // namespace
