// The launcher window's font on Linux: which file, and GDI's sizing rule.
#include "platform/linux/window_font.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>

namespace platform {

namespace {

// Where Debian's fonts-wine puts its Tahoma-compatible face.
constexpr const char* kWineTahoma = "/usr/share/wine/fonts/tahoma.ttf";
constexpr const char* kDejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

// The output of a command's first line, without its line end.
std::string firstLineOf(const char* command) {
  std::string line;
  if (std::FILE* pipe = ::popen(command, "r")) {
    char buffer[1024];
    if (std::fgets(buffer, sizeof buffer, pipe)) line = buffer;
    ::pclose(pipe);
  }
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

bool readable(const char* path) { return ::access(path, R_OK) == 0; }

std::uint32_t bigEndian(const unsigned char* p, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

// The bytes of a table of the font's directory; null when it is missing or
// reaches beyond the file.
const unsigned char* findTable(const unsigned char* bytes, std::size_t size, const char* tag, std::size_t need) {
  if (size < 12) return nullptr;
  const std::size_t count = bigEndian(bytes + 4, 2);
  if (count > (size - 12) / 16) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* record = bytes + 12 + 16 * i;
    if (record[0] != tag[0] || record[1] != tag[1] || record[2] != tag[2] || record[3] != tag[3]) continue;
    const std::size_t offset = bigEndian(record + 8, 4), length = bigEndian(record + 12, 4);
    if (length < need || offset > size || size - offset < need) return nullptr;
    return bytes + offset;
  }
  return nullptr;
}

// a * b / c rounded to the nearest whole number, as Win32's MulDiv.
long mulDivRounded(long a, long b, long c) { return (a * b * 2 + c) / (c * 2); }

}  // namespace

std::string windowFontFile() {
  std::string tahoma = firstLineOf("fc-match -f '%{family}|%{file}' Tahoma 2>/dev/null");
  std::size_t bar = tahoma.find('|');
  if (bar != std::string::npos && tahoma.compare(0, 6, "Tahoma") == 0) return tahoma.substr(bar + 1);
  if (readable(kWineTahoma)) return kWineTahoma;
  std::string dejaVu = firstLineOf("fc-match -f '%{file}' 'DejaVu Sans' 2>/dev/null");
  if (!dejaVu.empty() && readable(dejaVu.c_str())) return dejaVu;
  return kDejaVuSans;
}

bool readFontMetrics(const unsigned char* bytes, std::size_t size, FontMetrics* metrics) {
  const unsigned char* head = findTable(bytes, size, "head", 20);
  const unsigned char* os2 = findTable(bytes, size, "OS/2", 78);
  if (!head || !os2) return false;
  FontMetrics read;
  read.unitsPerEm = static_cast<int>(bigEndian(head + 18, 2));
  read.winAscent = static_cast<int>(bigEndian(os2 + 74, 2));
  read.winDescent = static_cast<int>(bigEndian(os2 + 76, 2));
  if (read.unitsPerEm == 0 || read.winAscent + read.winDescent == 0) return false;
  *metrics = read;
  return true;
}

int emSizeForCellHeight(int cellHeight, const FontMetrics& metrics) {
  const long cell = metrics.winAscent + metrics.winDescent;
  if (cellHeight <= 0 || cell <= 0 || metrics.unitsPerEm <= 0) return 0;
  long em = mulDivRounded(metrics.unitsPerEm, cellHeight, cell);
  if (em > 0 && mulDivRounded(em, cell, metrics.unitsPerEm) > cellHeight) --em;
  return static_cast<int>(em);
}

int ascentAtEmSize(int emSize, const FontMetrics& metrics) {
  if (metrics.unitsPerEm <= 0) return 0;
  return static_cast<int>(mulDivRounded(metrics.winAscent, emSize, metrics.unitsPerEm));
}

}  // namespace platform
