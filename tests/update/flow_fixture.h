// The launcher's directory for the flow tests: the directory of this test
// binary (where the launcher code looks for "cver.v" and friends), which is
// also the working directory during a case. Everything a case leaves there is
// removed afterwards, except the binary and the RAR library beside it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "archive/index.h"
#include "core/display_state.h"
#include "core/paths.h"
#include "hook_recorder.h"
#include "platform/clock.h"
#include "platform/download.h"
#include "support/launcher_state.h"
#include "support/temp_dir.h"
#include "update/game_start.h"
#include "update/versions.h"

class LauncherDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = core::exeDirectory();
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(directory_);
    clean();
    resetLauncherState();
    update::gameStartDelayMs = 20;
    installRecorders();
  }

  void TearDown() override {
    // A game start asked for near the end of the case gets the time to reach
    // the hooks; removeRecorders then waits for it to end.
    platform::sleepMs(4 * update::gameStartDelayMs.load());
    removeRecorders();
    resetLauncherState();
    clean();
    std::filesystem::current_path(previous_);
  }

  // A name in the launcher's directory.
  std::string here(const std::string& name) const { return (std::filesystem::path(directory_) / name).string(); }

  // Removes everything but this binary and the RAR library.
  void clean() {
    std::string self = std::filesystem::path(executableName()).filename().string();
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(directory_, ignored)) {
      std::string name = entry.path().filename().string();
      if (name == self || name == "unrar.dll") continue;
      std::filesystem::remove_all(entry.path(), ignored);
    }
  }

  static std::string executableName();

  std::string directory_;
  std::filesystem::path previous_;
};
