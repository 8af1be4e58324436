// Pictures for the window tests: screenshots of the X screen and the
// launcher's BMP files, read through ImageMagick as binary PPM.
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

// Runs a shell command; its standard output.
std::string commandOutput(const std::string& command);
// Reads a binary PPM (P6, maximum 255); an empty picture on error.
Picture parsePpm(const std::string& bytes);
// The whole X screen now.
Picture captureScreen();
// A picture file (BMP, PNG) decoded.
Picture loadPicture(const std::string& path);
// Writes the whole X screen to a PNG file; false on failure.
bool saveScreenPng(const std::string& path);
