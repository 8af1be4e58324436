#include "screen_capture.h"

#include <cstdio>
#include <sstream>

std::string commandOutput(const std::string& command) {
  std::string out;
  if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
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
  return std::system(("import -window root '" + path + "' 2>/dev/null").c_str()) == 0;
}
