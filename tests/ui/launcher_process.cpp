#include "launcher_process.h"

#include <chrono>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>

#include <cstdlib>
#else
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

#if defined(_WIN32)

LauncherProcess::LauncherProcess(const std::string& program, const std::string& display,
                                 const std::string& workingDirectory, const std::vector<std::string>& arguments) {
  // The child inherits the environment as it is at its start.
  if (!display.empty()) _putenv_s("VLM_TEST_DISPLAY", display.c_str());
  std::string command = "\"" + program + "\"";
  for (const std::string& argument : arguments) command += " " + argument;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  started_ = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                            workingDirectory.empty() ? nullptr : workingDirectory.c_str(), &startup, &info);
  _putenv_s("VLM_TEST_DISPLAY", "");
  if (started_) {
    CloseHandle(info.hThread);
    process_ = info.hProcess;
  }
}

LauncherProcess::~LauncherProcess() {
  if (!process_) return;
  if (!ended_) {
    TerminateProcess(process_, 1);
    WaitForSingleObject(process_, 10000);
  }
  CloseHandle(process_);
}

bool LauncherProcess::waitForExit(int* code, double seconds) {
  if (!process_) return false;
  if (WaitForSingleObject(process_, static_cast<DWORD>(seconds * 1000)) != WAIT_OBJECT_0) return false;
  DWORD exitCode = 1;
  GetExitCodeProcess(process_, &exitCode);
  *code = static_cast<int>(exitCode);
  ended_ = true;
  return true;
}

#else

LauncherProcess::LauncherProcess(const std::string& program, const std::string& display,
                                 const std::string& workingDirectory, const std::vector<std::string>& arguments) {
  std::vector<std::string> environment;
  for (char** e = environ; *e; ++e) environment.push_back(*e);
  if (!display.empty()) environment.push_back("VLM_TEST_DISPLAY=" + display);
  // The launcher keeps its window resources until it exits, on purpose.
  environment.push_back("ASAN_OPTIONS=detect_leaks=0");
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(&e[0]);
  envp.push_back(nullptr);
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(&word[0]);
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    // Should this test die, the launcher goes with it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!workingDirectory.empty() && ::chdir(workingDirectory.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  started_ = pid_ > 0;
}

LauncherProcess::~LauncherProcess() {
  if (started_ && !ended_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool LauncherProcess::waitForExit(int* code, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      ended_ = true;
      *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return true;
    }
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

#endif
