// Pictures for the window tests: screenshots of the X screen and the
// launcher's BMP files, read through ImageMagick as binary PPM. Works in the
// Windows tests under Wine too, which run the Unix commands through /bin/sh.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct Rgb {
  std::uint8_t r, g, b;
  bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
  bool operator!=(const Rgb& o) const { return !(*this == o); }
};

struct Picture {
  int width = 0, height = 0;
  std::vector<Rgb> pixels;
  Rgb at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
  bool empty() const { return pixels.empty(); }
};

// Unix paths seen from this process (Wine: under Z:).
std::string hostPath(const std::string& unixPath);
// Runs a /bin/sh script (under Wine too); its exit code.
int runUnixShell(const std::string& script);
// Runs a shell command; its standard output.
std::string commandOutput(const std::string& command);
// Reads a binary PPM (P6, maximum 255); an empty picture on error.
Picture parsePpm(const std::string& bytes);
// The whole X screen now.
Picture captureScreen();
// A picture file (BMP, PNG) decoded.
Picture loadPicture(const std::string& path);
// Writes the whole X screen to a PNG file (a Unix path); false on failure.
bool saveScreenPng(const std::string& path);
