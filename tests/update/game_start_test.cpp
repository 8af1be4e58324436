// The game start: one client however often it is asked for, the start
// message, the command line.
#include "update/game_start.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>

#include "core/display_state.h"
#include "hook_recorder.h"
#include "support/launcher_state.h"

namespace {

class GameStart : public ::testing::Test {
 protected:
  void SetUp() override {
    resetLauncherState();
    update::gameStartDelayMs = 50;
    installRecorders();
  }
  void TearDown() override {
    removeRecorders();
    resetLauncherState();
  }
};

TEST_F(GameStart, TwoRequestsStartExactlyOneClient) {
  update::requestGameStart();
  update::requestGameStart();
  ASSERT_TRUE(waitForStarts(1));
  ASSERT_TRUE(waitForExit());
  // Give a second starter every chance to go on, should the claim be broken.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.starts.size(), 1u);
  EXPECT_EQ(effects.starts[0], update::gameClientCommandLine());
  EXPECT_EQ(effects.exitsNow, std::vector<unsigned>{0u}) << "the process ends once, at once, with 0";
  EXPECT_TRUE(effects.exitsNormally.empty());
}

TEST_F(GameStart, ShowsTheStartMessageInGoldWithAFullLowerBar) {
  update::requestGameStart();
  {
    std::string status = core::displayState.statusText;
    EXPECT_EQ(status, "Please wait, starting Vellmarch....");
    EXPECT_EQ(core::displayState.textColour, 0x23EDFCu);
    EXPECT_EQ(core::displayState.totalProgress, 1u);
    EXPECT_EQ(core::displayState.totalProgressMax, 1u);
  }
  ASSERT_TRUE(waitForStarts(1));
  ASSERT_TRUE(waitForExit());
}

TEST_F(GameStart, CommandLineCarriesTheTokenAndTheServerInDecimal) {
  std::string line = update::gameClientCommandLine();
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(Kelda\.exe @HALVORN_MODE@ _server (0|[1-9][0-9]{0,2})(\.(0|[1-9][0-9]{0,2})){3})")))
      << line;
}

}  // namespace
