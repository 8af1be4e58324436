// The launcher run as a program of its own: its test build with the display
// values given through VLM_TEST_DISPLAY (see core/entry.cpp), or the real one
// (empty display: the variable is not set); or any other program the tests
// start beside it, with its arguments. Linux: a child process that dies with
// the test; Windows (under Wine): CreateProcess.
#pragma once

#include <string>
#include <vector>

class LauncherProcess {
 public:
  // workingDirectory empty: the test's own. Arguments hold no blanks.
  LauncherProcess(const std::string& program, const std::string& display, const std::string& workingDirectory = "",
                  const std::vector<std::string>& arguments = {});
  ~LauncherProcess();  // kills the launcher if it still runs
  LauncherProcess(const LauncherProcess&) = delete;
  LauncherProcess& operator=(const LauncherProcess&) = delete;

  bool started() const { return started_; }
  // True when the process ended within the time; its exit code in *code.
  bool waitForExit(int* code, double seconds);

 private:
  bool started_ = false;
  bool ended_ = false;
#if defined(_WIN32)
  void* process_ = nullptr;
#else
  int pid_ = 0;
#endif
};
