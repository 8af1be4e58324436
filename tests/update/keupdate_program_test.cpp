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

#include "core/paths.h"
#include "platform/crypto.h"
#include "support/temp_dir.h"
#include "update/launcher_replace.h"

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

// The arguments the launcher gives the update program for a launcher it
// checked: the words after the program's name in its command line.
std::string argumentsFor(const std::string& checked) {
  update::FileDigest digest;
  digest.size = checked.size();
  platform::sha256Of(checked.data(), checked.size(), digest.sha256.data());
  const std::string line = update::updateProgramCommandLine(digest);
  return line.substr(line.find(' ') + 1);
}

class KeUpdateProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy_file(VLM_KEUPDATE_BINARY, fs::path(work.path()) / "KeUpdate");
    // As the launcher leaves it: the new version recorded before the
    // update program runs.
    writeWholeFile("cver.v", versionBytes(7, 3));
  }
  int run(const std::string& arguments, std::string* output) {
    std::string command = "\"" + work.path() + "/KeUpdate\" " + arguments + " 2>&1";
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
  EXPECT_EQ(run(argumentsFor(kLauncherScript), &output), 0) << output;
  EXPECT_EQ(readWholeFile("start-vlm"), kLauncherScript);
  EXPECT_FALSE(fs::exists("launcher.bin"));
  EXPECT_FALSE(fs::exists("start-vlm.new"));
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
  std::string arguments;  // on the command line
  const char* reason;     // in the output
};
void PrintTo(const FailedReplacement& c, std::ostream* out) { *out << c.label; }

class KeUpdateFails : public KeUpdateProgram, public ::testing::WithParamInterface<FailedReplacement> {};

TEST_P(KeUpdateFails, KeepsTheOldLauncherAndAsksForTheNewOneAgain) {
  writeWholeFile("start-vlm", kLauncherScript);
  fs::permissions("start-vlm", fs::perms::owner_all);
  GetParam().arrange();
  std::string output;
  EXPECT_EQ(run(GetParam().arguments, &output), 1) << output;
  EXPECT_NE(output.find(GetParam().reason), std::string::npos) << output;
  EXPECT_NE(output.find("the next run of the launcher fetches it again"), std::string::npos) << output;
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(0, 3));
  EXPECT_EQ(readWholeFile("start-vlm"), kLauncherScript);
  EXPECT_FALSE(fs::exists("start-vlm.new"));
  EXPECT_EQ(launcherRan(), "failed-update=1\n") << "the old launcher still works and is started: " << output;
}

// What the launcher checked, and a launcher.bin that someone with write
// access to the game folder put there after the check.
const std::string kChecked = "#!/bin/sh\nexit 0\n";
const std::string kSwapped = "#!/bin/sh\nrm -rf\n";

INSTANTIATE_TEST_SUITE_P(
    Table, KeUpdateFails,
    ::testing::Values(FailedReplacement{"NoNewLauncher", [] {}, argumentsFor(kChecked), "no new launcher"},
                      FailedReplacement{"EmptyNewLauncher", [] { writeWholeFile("launcher.bin", ""); },
                                        argumentsFor(kChecked), "no new launcher"},
                      // The backup's name is taken by a directory that holds a file.
                      FailedReplacement{"NoBackup",
                                        [] {
                                          writeWholeFile("launcher.bin", kChecked);
                                          fs::create_directories("start-vlm.old/in-the-way");
                                        },
                                        argumentsFor(kChecked), "cannot keep a backup"},
                      FailedReplacement{"SwappedAfterTheCheck", [] { writeWholeFile("launcher.bin", kSwapped); },
                                        argumentsFor(kChecked), "not the checked launcher's"},
                      FailedReplacement{
                          "LongerThanChecked", [] { writeWholeFile("launcher.bin", kChecked + "echo more\n"); },
                          argumentsFor(kChecked), "is longer than the 17 bytes of the launcher that was checked"},
                      FailedReplacement{"NoArguments", [] { writeWholeFile("launcher.bin", kChecked); }, "",
                                        "its command line does not say which launcher was checked: 0 arguments"},
                      FailedReplacement{"SizeOnly", [] { writeWholeFile("launcher.bin", kChecked); }, "17",
                                        "its command line does not say which launcher was checked: 1 arguments"},
                      FailedReplacement{"MalformedHash", [] { writeWholeFile("launcher.bin", kChecked); },
                                        "17 " + std::string(64, 'z'), "is not 64 hex digits"},
                      FailedReplacement{"MalformedSize", [] { writeWholeFile("launcher.bin", kChecked); },
                                        "17x " + argumentsFor(kChecked).substr(3), "is not a whole number of bytes"}),
    [](const ::testing::TestParamInfo<FailedReplacement>& p) { return p.param.label; });

}  // namespace

#include "platform/process.h"

namespace {

// Which program a command's first word starts on Linux: a Windows name
// means its Linux twin where one lies in the launcher's own directory or
// the working directory, then the Windows program itself there, then PATH.
// Each case names its program after itself ("<label>.exe"), since cases run
// at the same time and share this program's directory.
struct Place {
  const char* where;  // "own": beside this test program; "work": the working directory; "path": on PATH
  bool windows;       // "<label>.exe", else the twin "<label>"
};
struct StartOrderCase {
  const char* label;
  std::vector<Place> standIns;
  Place started;  // the stand-in that must run
};
void PrintTo(const StartOrderCase& c, std::ostream* out) { *out << c.label; }

class StartProcessOnLinux : public ::testing::TestWithParam<StartOrderCase> {};

std::string describe(const Place& place) { return std::string(place.where) + (place.windows ? " windows" : " twin"); }

TEST_P(StartProcessOnLinux, AWindowsNamePrefersItsLinuxTwin) {
  TempWorkDir work;
  const StartOrderCase& c = GetParam();
  const fs::path path = fs::path(work.path()) / "path";
  fs::create_directories(path);
  std::vector<fs::path> written;
  for (const Place& place : c.standIns) {
    const std::string where = place.where;
    const fs::path directory = where == "own" ? fs::path(core::exeDirectory()) : where == "path" ? path : fs::path(".");
    const fs::path file = directory / (std::string(c.label) + (place.windows ? ".exe" : ""));
    // Notes which stand-in it is, and its first argument, in the working directory.
    writeWholeFile(file.string(), "#!/bin/sh\necho \"" + describe(place) + " $1\" > \"$PWD/helper-ran\"\n");
    fs::permissions(file, fs::perms::owner_all);
    written.push_back(file);
  }
  const std::string previousPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  setenv("PATH", (path.string() + ":" + previousPath).c_str(), 1);
  const bool started = platform::startProcess((std::string(c.label) + ".exe first-argument").c_str());
  setenv("PATH", previousPath.c_str(), 1);
  // The note exists from the moment the shell opens it: wait for its line.
  auto noted = [] { return fs::exists("helper-ran") && readWholeFile("helper-ran").find('\n') != std::string::npos; };
  for (int i = 0; started && i < 100 && !noted(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (const fs::path& file : written) fs::remove(file);
  ASSERT_TRUE(started);
  EXPECT_EQ(readWholeFile("helper-ran"), describe(c.started) + " first-argument\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartProcessOnLinux,
    ::testing::Values(StartOrderCase{"TwinAlone", {{"work", false}}, {"work", false}},
                      StartOrderCase{"TwinBeforeWindows", {{"work", true}, {"work", false}}, {"work", false}},
                      StartOrderCase{"TwinInWorkBeforeWindowsInOwn", {{"own", true}, {"work", false}}, {"work", false}},
                      StartOrderCase{"TwinInOwnBeforeTwinInWork", {{"work", false}, {"own", false}}, {"own", false}},
                      StartOrderCase{"WindowsInOwnBeforeWindowsInWork", {{"work", true}, {"own", true}}, {"own", true}},
                      StartOrderCase{"WindowsBeforePath", {{"path", false}, {"work", true}}, {"work", true}},
                      StartOrderCase{"TwinOnPathLast", {{"path", false}}, {"path", false}}),
    [](const ::testing::TestParamInfo<StartOrderCase>& p) { return p.param.label; });

}  // namespace
