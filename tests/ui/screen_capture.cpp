#include "screen_capture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// A scratch file both this process and Unix commands can name.
std::string scratchUnixPath(const std::string& leaf) {
  static unsigned counter = 0;
  auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  return "/tmp/vlm-shot-" + std::to_string(stamp) + "-" + std::to_string(counter++) + "-" + leaf;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace

std::string hostPath(const std::string& unixPath) {
#if defined(_WIN32)
  // Z: is Wine's view of the Unix root.
  std::string path = "Z:" + unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
#else
  return unixPath;
#endif
}

int runUnixShell(const std::string& script) {
#if defined(_WIN32)
  // Wine starts Unix programs through CreateProcess but cannot wait for them:
  // the script leaves its exit code in a file when it is done.
  std::string path = scratchUnixPath("run.sh");
  std::string done = path + ".done";
  {
    std::ofstream out(hostPath(path), std::ios::binary);
    out << "#!/bin/sh\n(\n"
        << script << "\n)\necho $? > '" << done << ".tmp' && mv '" << done << ".tmp' '" << done << "'\n";
  }
  std::string command = "/bin/sh " + path;
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return -1;
  CloseHandle(info.hProcess);
  CloseHandle(info.hThread);
  int code = -1;
  for (int waited = 0; waited < 120000; waited += 20) {
    std::string text = readFile(hostPath(done));
    if (!text.empty()) {
      code = std::atoi(text.c_str());
      break;
    }
    Sleep(20);
  }
  std::remove(hostPath(path).c_str());
  std::remove(hostPath(done).c_str());
  return code;
#else
  return std::system(script.c_str());
#endif
}

std::string commandOutput(const std::string& command) {
  std::string out = scratchUnixPath("out");
  runUnixShell("(" + command + ") > '" + out + "'");
  std::string bytes = readFile(hostPath(out));
  std::remove(hostPath(out).c_str());
  return bytes;
}

Picture parsePpm(const std::string& bytes) {
  Picture picture;
  std::istringstream in(bytes);
  std::string magic;
  int width = 0, height = 0, maximum = 0;
  in >> magic >> width >> height >> maximum;
  if (magic != "P6" || maximum != 255 || width <= 0 || height <= 0) return picture;
  in.get();  // the one blank before the pixels
  const std::size_t offset = static_cast<std::size_t>(in.tellg());
  const std::size_t count = static_cast<std::size_t>(width) * height;
  if (bytes.size() < offset + count * 3) return picture;
  picture.width = width;
  picture.height = height;
  picture.pixels.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset + i * 3);
    picture.pixels[i] = Rgb{p[0], p[1], p[2]};
  }
  return picture;
}

Picture captureScreen() { return parsePpm(commandOutput("import -window root -depth 8 ppm:- 2>/dev/null")); }

Picture loadPicture(const std::string& path) {
  return parsePpm(commandOutput("convert '" + path + "' -depth 8 ppm:- 2>/dev/null"));
}

bool saveScreenPng(const std::string& path) {
  return runUnixShell("mkdir -p \"$(dirname '" + path + "')\" && import -window root '" + path + "' 2>/dev/null") == 0;
}
