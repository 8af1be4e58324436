// The upper bar's arithmetic and its 120 ms gate, the lower bar's overall
// percentage, and the name in the status line.
#include <gtest/gtest.h>

#include <string>

#include "core/display_state.h"
#include "core/paths.h"
#include "platform/clock.h"
#include "support/launcher_state.h"
#include "update/download.h"
#include "update/patch_loop.h"

namespace {

struct PercentCase {
  std::uint32_t progress, maximum, expected;
};

class ProgressPercent : public ::testing::TestWithParam<PercentCase> {};

TEST_P(ProgressPercent, RoundsThroughAFloatBeforeTheCut) {
  EXPECT_EQ(update::progressPercent(GetParam().progress, GetParam().maximum), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, ProgressPercent,
                         ::testing::Values(PercentCase{29, 100, 29},  // 28.999999999999996 as a double
                                           PercentCase{1, 3, 33}, PercentCase{2, 3, 66}, PercentCase{0, 0, 0},
                                           PercentCase{5, 0, 0}, PercentCase{100, 100, 100},
                                           PercentCase{150, 100, 150},  // not clamped
                                           PercentCase{0xFFFFFFFFu, 1, 0xFFFFFFFFu}));

struct OverallCase {
  std::uint32_t n, base, latest, expected;
};

class OverallPercent : public ::testing::TestWithParam<OverallCase> {};

TEST_P(OverallPercent, IsTheShareOfTheRunDone) {
  EXPECT_EQ(update::overallPatchPercent(GetParam().n, GetParam().base, GetParam().latest), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, OverallPercent,
                         ::testing::Values(OverallCase{11, 10, 13, 33}, OverallCase{12, 10, 13, 66},
                                           OverallCase{13, 10, 13, 100}, OverallCase{29, 0, 100, 29},
                                           OverallCase{1, 0, 1, 100}));

class ProgressGate : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLauncherState();
    // The gate measures from process start: be past the first 120 ms.
    while (platform::clockTicksMs() < 2 * update::kProgressGateMs) platform::sleepMs(10);
  }
};

TEST_F(ProgressGate, TheFirstReportOfADownloadIsShown) {
  update::downloadProgress.lastProgressTicks = 0;
  update::reportDownloadProgress(29, 100);
  EXPECT_EQ(core::displayState.fileProgressMax, 100u);
  EXPECT_EQ(core::displayState.fileProgress, 29u);
}

TEST_F(ProgressGate, AReportWithin120MsIsDropped) {
  update::downloadProgress.lastProgressTicks = 0;
  update::reportDownloadProgress(10, 100);
  update::reportDownloadProgress(50, 100);  // microseconds later
  EXPECT_EQ(core::displayState.fileProgress, 10u);
  update::downloadProgress.lastProgressTicks = platform::clockTicksMs() - update::kProgressGateMs;
  update::reportDownloadProgress(60, 100);
  EXPECT_EQ(core::displayState.fileProgress, 60u) << "once 120 ms have passed the next report is shown";
}

TEST_F(ProgressGate, AnUnknownSizeShowsAnEmptyBar) {
  update::downloadProgress.lastProgressTicks = 0;
  update::reportDownloadProgress(4096, 0);
  EXPECT_EQ(core::displayState.fileProgressMax, 100u);
  EXPECT_EQ(core::displayState.fileProgress, 0u);
}

struct NameCase {
  std::string path;  // "<dir>" stands for the launcher's directory
  std::string expected;
};

class DisplayName : public ::testing::TestWithParam<NameCase> {};

TEST_P(DisplayName, DropsTheLauncherDirectory) {
  std::string path = GetParam().path;
  std::size_t at = path.find("<dir>");
  if (at != std::string::npos) path.replace(at, 5, core::exeDirectory());
  EXPECT_EQ(update::downloadDisplayName(path.c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, DisplayName,
                         ::testing::Values(NameCase{"<dir>\\7.rar", "7.rar"},
                                           NameCase{"<dir>\\launcher.bin", "launcher.bin"},
                                           NameCase{"<dir>/12.rar", "12.rar"}, NameCase{"patch.hpl", "patch.hpl"},
                                           NameCase{std::string(80, 'n'), std::string(59, 'n')}));

}  // namespace
