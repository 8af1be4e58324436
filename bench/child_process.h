// Running this benchmark program again as a child process and learning its
// peak memory, the same way on both targets: the memory case measures a
// process that does nothing but apply one package.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct ChildResult {
  bool started = false;
  int exitCode = -1;
  // The child's peak resident set (Linux) or peak working set (Windows), in
  // bytes, as the system accounts it to the parent; 0 when unknown.
  std::uint64_t peakBytes = 0;
};

// Runs the executable with the arguments, in the working directory, and
// waits for it to end.
ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments);

// This process's own peak memory so far, in bytes (VmHWM / PeakWorkingSetSize).
std::uint64_t ownPeakBytes();

}  // namespace bench
