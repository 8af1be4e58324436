// TEST STAND-IN for the game client ("Kelda.exe" on Windows, "Kelda" on
// Linux), which is not part of this project. Started by the launcher, it
// only writes the command line it was started with to
// "client_command_line.txt" beside itself, so a test can see what the
// launcher started. On Windows, started with "--window" as its one argument,
// it is the game already running instead: it opens a top-level window of
// the client's class "cKELDA" and keeps it until it is closed or killed.
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>

#include <string>
#endif

namespace {

#if defined(_WIN32)

LRESULT CALLBACK clientWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

int runClientWindow() {
  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = clientWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "cKELDA";
  if (!RegisterClassExA(&windowClass)) return 1;
  HWND window = CreateWindowExA(0, "cKELDA", "Kelda", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
  if (!window) return 1;
  ShowWindow(window, SW_SHOWNORMAL);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

int recordCommandLine(int, char**) {
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

#else

// The program's name and its arguments, as the Windows command line has them.
int recordCommandLine(int argc, char** argv) {
  char self[4096] = {};
  ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return 1;
  std::string path(self, static_cast<std::size_t>(length));
  const std::string name = path.substr(path.rfind('/') + 1);
  std::string line = name;
  for (int i = 1; i < argc; ++i) line += std::string(" ") + argv[i];
  std::FILE* out = std::fopen((path.substr(0, path.rfind('/') + 1) + "client_command_line.txt").c_str(), "wb");
  if (!out) return 1;
  std::fputs(line.c_str(), out);
  std::fclose(out);
  return 0;
}

int runClientWindow() { return 1; }  // the Linux tests run the Windows stand-in through Wine for that

#endif

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--window") == 0) return runClientWindow();
  return recordCommandLine(argc, argv);
}
