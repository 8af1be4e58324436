// TEST STAND-IN for the game client "Kelda.exe", which is not part of this
// project. Started by the launcher, it only writes the command line it was
// started with to "client_command_line.txt" beside itself, so a test can see
// what the launcher started. Started with "--window" as its one argument, it
// is the game already running instead: it opens a top-level window of the
// client's class "cKELDA" and keeps it until it is closed or killed.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

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

int recordCommandLine() {
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--window") == 0) return runClientWindow();
  return recordCommandLine();
}
