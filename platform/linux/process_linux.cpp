// Starting programs on Linux the way the Windows launcher would: the first
// word of the command line is looked for in the launcher's own directory
// first, then the working directory, then PATH. A Windows name ("name.exe")
// means the Linux twin "name" where one lies there (the Linux client
// "Kelda" for the game start's "Kelda.exe ..."), else the Windows program
// itself, which runs through wine, what a Linux player has for it.
#include "platform/command_line.h"
#include "platform/executable.h"
#include "platform/file.h"
#include "platform/process_internal.h"

#include <pthread.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace platform {

// The executable for a command's first word. A Windows name ("Kelda.exe")
// is looked for as its Linux twin without ".exe" ("Kelda") in the
// launcher's own directory, then in the working directory, and only then
// as itself in both: the Linux launcher updates and installs the Linux
// programs, and a Windows program of the same name that an installation
// still holds must not win over them. Any other name is looked for as
// itself. Only a file counts (a directory of that name is passed over).
// What is found nowhere is left to PATH, under the twin's name.
static std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos || name.find('\\') != std::string::npos) return nativePath(name.c_str());
  std::string exe = executablePath();
  std::string ownDirectory = exe.substr(0, exe.find_last_of('/'));
  std::vector<std::string> names;
  const std::string suffix = ".exe";
  if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    names.push_back(name.substr(0, name.size() - suffix.size()));
  }
  names.push_back(name);
  for (const std::string& candidateName : names) {
    for (const std::string& dir : {ownDirectory, std::string(".")}) {
      std::string candidate = dir + "/" + candidateName;
      struct stat st;
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return candidate;
    }
  }
  return names.front();  // left to PATH
}

static bool isWindowsExecutable(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  char magic[2] = {0, 0};
  bool pe = std::fread(magic, 1, 2, file) == 2 && magic[0] == 'M' && magic[1] == 'Z';
  std::fclose(file);
  return pe;
}

bool startProcessForReal(const char* commandLine) {
  std::vector<std::string> words;
  // The launcher makes its command lines itself; an open quote is not one.
  if (!splitWords(commandLine, &words) || words.empty()) return false;
  words[0] = findProgram(words[0]);
  if (isWindowsExecutable(words[0])) words.insert(words.begin(), "wine");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  argv.push_back(nullptr);
  pid_t pid;
  return posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) == 0;
}

void exitProcessNowForReal(unsigned code) {
  std::fflush(stdout);  // the trace would otherwise be lost with the buffer
  ::_exit(static_cast<int>(code));
}

void endCurrentThread() { pthread_exit(nullptr); }

}  // namespace platform
