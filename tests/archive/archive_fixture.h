// Every archive test runs in a fresh working directory with the process-wide
// archive state and display state back at their start values: under Wine all
// cases share one process.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "archive/index.h"
#include "core/display_state.h"
#include "core/status_text.h"
#include "support/launcher_state.h"
#include "support/temp_dir.h"

class ArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override { resetState(); }
  void TearDown() override { resetState(); }

  static void resetState() { resetLauncherState(); }

  TempWorkDir dir_;
};

inline std::string bytes(std::initializer_list<unsigned> values) {
  std::string out;
  for (unsigned v : values) out.push_back(static_cast<char>(v));
  return out;
}

inline std::string hex(const std::string& data) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : data) {
    if (!out.empty()) out.push_back(' ');
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}
