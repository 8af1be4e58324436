#include "tools/vlm_patch/progress.h"

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#define isatty _isatty
#else
#include <unistd.h>
#endif

namespace vlmpatch {

ProgressBar startProgress(const std::string& label, std::uint64_t total) {
  ProgressBar bar;
  bar.label = label;
  bar.total = total;
  bar.enabled = isatty(2) != 0;
  showProgress(bar, 0);
  return bar;
}

void showProgress(ProgressBar& bar, std::uint64_t done) {
  if (!bar.enabled) return;
  int percent = bar.total == 0 ? 100 : static_cast<int>(done * 100 / bar.total);
  if (percent > 100) percent = 100;
  if (percent == bar.lastShown) return;
  bar.lastShown = percent;
  char cells[31];
  int filled = percent * 30 / 100;
  for (int i = 0; i < 30; ++i) cells[i] = i < filled ? '#' : '.';
  cells[30] = '\0';
  std::fprintf(stderr, "\r%s [%s] %3d%%", bar.label.c_str(), cells, percent);
  std::fflush(stderr);
}

void finishProgress(ProgressBar& bar) {
  if (!bar.enabled) return;
  showProgress(bar, bar.total);
  std::fputc('\n', stderr);
}

}  // namespace vlmpatch
