// TEST STAND-IN for the game client "Kelda.exe", which is not part of this
// project: it only writes the command line it was started with to
// "client_command_line.txt" beside itself, so a test can see what the
// launcher started.
#include <windows.h>

#include <cstdio>
#include <cstring>

int main() {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  char* slash = std::strrchr(path, '\\');
  if (slash) slash[1] = '\0';
  std::strncat(path, "client_command_line.txt", MAX_PATH - std::strlen(path) - 1);
  std::FILE* out = std::fopen(path, "wb");
  if (!out) return 1;
  std::fputs(GetCommandLineA(), out);
  std::fclose(out);
  return 0;
}
