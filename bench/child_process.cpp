#include "bench/child_process.h"

#if defined(_WIN32)
#include <windows.h>
// psapi.h needs the types of windows.h.
#include <psapi.h>
#else
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#endif

#if !defined(_WIN32)
extern "C" char** environ;
#endif

namespace bench {

#if defined(_WIN32)

// Quotes a word for CreateProcess's command line (no word here holds quotes).
static std::string quoted(const std::string& word) { return "\"" + word + "\""; }

ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments) {
  ChildResult result;
  std::string commandLine = quoted(executable);
  for (const std::string& argument : arguments) commandLine += " " + quoted(argument);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(executable.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                      &process))
    return result;
  result.started = true;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  if (GetExitCodeProcess(process.hProcess, &code)) result.exitCode = static_cast<int>(code);
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof counters))
    result.peakBytes = counters.PeakWorkingSetSize;
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return result;
}

std::uint64_t ownPeakBytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

#else

ChildResult runChild(const std::string& executable, const std::vector<std::string>& arguments) {
  ChildResult result;
  std::vector<char*> argv;
  std::string program = executable;
  argv.push_back(&program[0]);
  std::vector<std::string> words = arguments;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) return result;
  result.started = true;
  int status = 0;
  struct rusage usage = {};
  if (wait4(child, &status, 0, &usage) == child) {
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.peakBytes = static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
  }
  return result;
}

std::uint64_t ownPeakBytes() {
  struct rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

#endif

}  // namespace bench
