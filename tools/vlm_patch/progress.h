// Progress on long work: a bar redrawn in place on a terminal, nothing when
// standard error is redirected (logs stay clean).
#pragma once

#include <cstdint>
#include <string>

namespace vlmpatch {

struct ProgressBar {
  std::string label;
  std::uint64_t total = 0;
  bool enabled = false;
  int lastShown = -1;
};

ProgressBar startProgress(const std::string& label, std::uint64_t total);
void showProgress(ProgressBar& bar, std::uint64_t done);
void finishProgress(ProgressBar& bar);

}  // namespace vlmpatch
