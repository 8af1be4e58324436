#include "support/unix_programs.h"

#include <atomic>
#include <chrono>
#include <filesystem>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace fs = std::filesystem;

std::string freshSharedDirectory(const std::string& stem) {
  static std::atomic<unsigned> counter{0};
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::string leaf = stem + "-" + std::to_string(stamp) + "-" + std::to_string(counter++);
#if defined(_WIN32)
  return "Z:\\tmp\\" + leaf;
#else
  return (fs::temp_directory_path() / leaf).string();
#endif
}

std::string unixPathOf(const std::string& path) {
#if defined(_WIN32)
  std::string unix = path.substr(2);
  for (char& c : unix) {
    if (c == '\\') c = '/';
  }
  return unix;
#else
  return path;
#endif
}

#if defined(_WIN32)
bool startUnixProgram(std::string commandLine) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}
#endif
