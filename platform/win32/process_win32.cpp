// Starting programs and ending the process on Windows.
#include "platform/process_internal.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace platform {

bool startProcessForReal(const char* commandLine) {
  // CreateProcessA may write into the command line, so it gets a copy.
  std::string line(commandLine);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

void exitProcessNowForReal(unsigned code) {
  std::fflush(stdout);  // the trace would otherwise be lost with the buffer
  ExitProcess(code);
}

void endCurrentThread() { ExitThread(0); }

}  // namespace platform
