// The installation check the update worker makes at start: its trace and
// the result it keeps for the steps after.
#include <gtest/gtest.h>

#include <string>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "support/launcher_state.h"
#include "support/temp_dir.h"
#include "update/update_driver.h"

namespace {

class StartCheck : public ::testing::Test {
 protected:
  void SetUp() override { resetLauncherState(); }
  void TearDown() override { resetLauncherState(); }

  std::string checkAndTrace() {
    ::testing::internal::CaptureStdout();
    static_cast<void>(update::loadAndCheckInstallation());
    return ::testing::internal::GetCapturedStdout();
  }

  TempWorkDir dir_;
};

TEST_F(StartCheck, NamesEveryDamagedArchiveOnALineOfItsOwn) {
  writeWholeFile("GA0.VFS", std::string(10, 'a'));
  writeWholeFile("GA2.VFS", std::string(4, 'c'));
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 3,
                                      {{"GA0.VFS", {{1, 0, 10}}}, {"GA1.VFS", {{2, 0, 5}}}, {"GA2.VFS", {{3, 2, 8}}}})
                  .ok());
  std::string trace = checkAndTrace();
  EXPECT_TRUE(archive::indexLoaded) << "the update goes on with the index it loaded";
  EXPECT_NE(trace.find("Installation check: 2 of 3 archives damaged:"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Installation check: GA1.VFS (archive 1) is missing"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Installation check: GA2.VFS (archive 2) is too short: 10 bytes needed, 4 there"),
            std::string::npos)
      << trace;
  EXPECT_EQ(trace.find("GA0.VFS (archive 0)"), std::string::npos) << trace;
  const archive::QuickCheckResult& kept = update::startCheck();
  ASSERT_EQ(kept.problems.size(), 2u);
  EXPECT_EQ(kept.problems[0].name, "GA1.VFS");
  EXPECT_EQ(kept.problems[1].name, "GA2.VFS");
}

TEST_F(StartCheck, SaysWhenTheIndexCannotBeRead) {
  writeWholeFile("data.idx", "abc");
  std::string trace = checkAndTrace();
  EXPECT_FALSE(archive::indexLoaded);
  EXPECT_FALSE(update::startCheck().indexRead);
  EXPECT_NE(trace.find("Installation check: the index cannot be read: data.idx: "), std::string::npos) << trace;
}

TEST_F(StartCheck, ASoundInstallationIsOneLine) {
  writeWholeFile("GA0.VFS", std::string(10, 'a'));
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 3, {{"GA0.VFS", {{1, 0, 6}, {2, 6, 4}}}}).ok());
  std::string trace = checkAndTrace();
  EXPECT_TRUE(update::startCheck().ok());
  EXPECT_NE(trace.find("Installation check: 1 archive, 2 entries, every archive whole."), std::string::npos) << trace;
}

}  // namespace
