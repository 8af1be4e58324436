#include "core/display_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

TEST(DisplayState, StartsWithNearWhiteTextAndTheEntrySetsLoading) {
  EXPECT_EQ(core::displayState.textColour, 0xFFFFFEu);
  core::DisplayState state{};
  state.fileProgress = 5;
  state.fileProgressMax = 9;
  core::resetDisplayState(state);
  EXPECT_STREQ(state.statusText, "Loading...");
  EXPECT_EQ(state.fileProgressMax, 0u);
  EXPECT_EQ(state.fileProgress, 0u);
  EXPECT_EQ(state.totalProgressMax, 0u);
  EXPECT_EQ(state.closeButtonState, 1);
}

TEST(DisplayState, StatusTextIsCutToItsBuffer) {
  core::DisplayState state{};
  core::setStatusText(state, std::string(5000, 'z').c_str());
  EXPECT_EQ(std::string(state.statusText).size(), sizeof state.statusText - 1);
}

TEST(UiLock, AWaitRunsOutAfterAboutOneHundredMilliseconds) {
  ASSERT_TRUE(core::uiLock->enter());
  std::atomic<bool> obtained{true};
  std::chrono::milliseconds waited{0};
  std::thread other([&] {
    auto start = std::chrono::steady_clock::now();
    obtained = core::uiLock->enter();
    waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    core::uiLock->leave();  // not held: without effect
  });
  other.join();
  EXPECT_FALSE(obtained);
  EXPECT_GE(waited.count(), 90);
  core::uiLock->leave();
  EXPECT_TRUE(core::uiLock->enter());
  core::uiLock->leave();
}

TEST(UiLock, PatientWriterWaitsUntilTheLockIsFree) {
  // A writer never changes a field without the lock, even when the holder
  // keeps it longer than one 100 ms wait.
  ASSERT_TRUE(core::uiLock->enter());
  std::atomic<bool> written{false};
  std::thread writer([&] { core::withUiLock([&](core::DisplayState&) { written = true; }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_FALSE(written);
  core::uiLock->leave();
  writer.join();
  EXPECT_TRUE(written);
}

std::atomic<int> repaints{0};

TEST(RequestRepaint, GoesToTheConnectedHandler) {
  repaints = 0;
  core::requestRepaint();  // no handler yet: goes nowhere
  core::setRepaintHandler([] { ++repaints; });
  core::updateDisplay([](core::DisplayState& s) { s.fileProgress = 3; });
  EXPECT_EQ(repaints.load(), 1);
  EXPECT_EQ(core::displayState.fileProgress, 3u);
  core::setRepaintHandler(nullptr);
}

}  // namespace
