// The update program run as a program, in a directory of its own with a
// launcher that records that it was started.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

// A stand-in launcher: a shell script that notes it ran, and whether the
// update program told it that the replacement failed.
const char* kLauncherScript =
    "#!/bin/sh\necho \"failed-update=$VLM_SELF_UPDATE_FAILED\" > \"$(dirname \"$0\")/launcher-ran\"\n";

// "cver.v": launcher version, then client version, 4 bytes each.
std::string versionBytes(std::uint32_t launcher, std::uint32_t client) {
  std::string bytes;
  for (std::uint32_t value : {launcher, client}) {
    for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
  return bytes;
}

class KeUpdateProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(VLM_KEUPDATE_BINARY, fs::path(work.path()) / "KeUpdate");
    // As the launcher leaves it: the new version recorded before the
    // update program runs.
    writeWholeFile("cver.v", versionBytes(7, 3));
  }
  int run(std::string* output) {
    std::string command = "\"" + work.path() + "/KeUpdate\" 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) *output += buffer;
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  // What the started launcher noted; empty when it never ran.
  std::string launcherRan() {
    for (int i = 0; i < 100; ++i) {
      if (fs::exists("launcher-ran")) {
        std::string noted = readWholeFile("launcher-ran");
        if (!noted.empty()) return noted;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
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
  EXPECT_EQ(launcherRan(), "failed-update=\n") << "the new launcher was started as any other: " << output;
  EXPECT_NE(fs::status("start-vlm").permissions() & fs::perms::owner_exec, fs::perms::none);
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(7, 3)) << "the launcher's record stands";
}

// Every way the replacement fails: the old launcher stays and is started
// again, the reason is printed, and "cver.v" asks the next run of the
// launcher to fetch the new one again (launcher version 0, client version
// kept), which the launcher started now leaves to that next run.
struct FailedReplacement {
  const char* label;
  void (*arrange)();
  const char* reason;  // in the output
};

class KeUpdateFails : public KeUpdateProgram, public ::testing::WithParamInterface<FailedReplacement> {};

TEST_P(KeUpdateFails, KeepsTheOldLauncherAndAsksForTheNewOneAgain) {
  writeWholeFile("start-vlm", kLauncherScript);
  fs::permissions("start-vlm", fs::perms::owner_all);
  GetParam().arrange();
  std::string output;
  EXPECT_EQ(run(&output), 1) << output;
  EXPECT_NE(output.find(GetParam().reason), std::string::npos) << output;
  EXPECT_NE(output.find("the next run of the launcher fetches it again"), std::string::npos) << output;
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(0, 3));
  EXPECT_EQ(readWholeFile("start-vlm"), kLauncherScript);
  EXPECT_EQ(launcherRan(), "failed-update=1\n") << "the old launcher still works and is started: " << output;
}

INSTANTIATE_TEST_SUITE_P(Table, KeUpdateFails,
                         ::testing::Values(FailedReplacement{"NoNewLauncher", [] {}, "no new launcher"},
                                           FailedReplacement{"EmptyNewLauncher",
                                                             [] { writeWholeFile("launcher.bin", ""); },
                                                             "no new launcher"},
                                           // The backup's name is taken by a directory that holds a file.
                                           FailedReplacement{"NoBackup",
                                                             [] {
                                                               writeWholeFile("launcher.bin", "#!/bin/sh\nexit 0\n");
                                                               fs::create_directories("start-vlm.old/in-the-way");
                                                             },
                                                             "cannot keep a backup"}),
                         [](const ::testing::TestParamInfo<FailedReplacement>& p) { return p.param.label; });

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
