// The Linux window's font: the file it comes from, the metrics read from it
// (real font files, and damaged bytes), and the size GDI would give it.
#include "platform/linux/window_font.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "screen_capture.h"

namespace {

// Debian's fonts-wine, which tools/install-deps.sh installs.
constexpr const char* kWineTahoma = "/usr/share/wine/fonts/tahoma.ttf";
constexpr const char* kDejaVuSans = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf";

std::vector<unsigned char> fileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct FontFileCase {
  const char* path;
  int unitsPerEm, winAscent, winDescent;
  int emAt13, ascentAtEm;
};

class FontFile : public testing::TestWithParam<FontFileCase> {};

TEST_P(FontFile, HasTheWindowsMetricsAndGdiSize) {
  const FontFileCase& c = GetParam();
  const std::vector<unsigned char> bytes = fileBytes(c.path);
  ASSERT_FALSE(bytes.empty()) << c.path << " is missing: run tools/install-deps.sh";
  platform::FontMetrics metrics;
  ASSERT_TRUE(platform::readFontMetrics(bytes.data(), bytes.size(), &metrics));
  EXPECT_EQ(metrics.unitsPerEm, c.unitsPerEm);
  EXPECT_EQ(metrics.winAscent, c.winAscent);
  EXPECT_EQ(metrics.winDescent, c.winDescent);
  EXPECT_EQ(platform::emSizeForCellHeight(13, metrics), c.emAt13);
  EXPECT_EQ(platform::ascentAtEmSize(c.emAt13, metrics), c.ascentAtEm);
}

INSTANTIATE_TEST_SUITE_P(Table, FontFile,
                         testing::Values(FontFileCase{kWineTahoma, 2048, 2049, 423, 11, 11},
                                         FontFileCase{kDejaVuSans, 2048, 1901, 483, 11, 10}));

TEST(WindowFontFile, IsTheTahomaOfFontsWineWhereItIsInstalled) {
  const std::string file = platform::windowFontFile();
  const std::string family = commandOutput("fc-scan -f '%{family[0]}' '" + file + "'");
  if (std::ifstream(kWineTahoma).good()) {
    EXPECT_EQ(family, "Tahoma") << file;
  } else {
    EXPECT_EQ(family, "DejaVu Sans") << file;
  }
}

struct SizeCase {
  int cellHeight;
  platform::FontMetrics metrics;
  int em;
};

class GdiEmSize : public testing::TestWithParam<SizeCase> {};

TEST_P(GdiEmSize, ScalesTheCellToTheEmAndNeverMakesItTaller) {
  const SizeCase& c = GetParam();
  EXPECT_EQ(platform::emSizeForCellHeight(c.cellHeight, c.metrics), c.em);
}

INSTANTIATE_TEST_SUITE_P(Table, GdiEmSize,
                         testing::Values(SizeCase{13, {2048, 2049, 423}, 11},  // 10.77 rounds up
                                         SizeCase{16, {2048, 2049, 423}, 13}, SizeCase{13, {1000, 1000, 0}, 13},
                                         // 10.57 rounds to 11, whose cell 13.53 rounds to 14: one less
                                         SizeCase{13, {1000, 1230, 0}, 10}, SizeCase{0, {2048, 2049, 423}, 0},
                                         SizeCase{13, {0, 2049, 423}, 0}, SizeCase{13, {2048, 0, 0}, 0}));

// A font directory with the tables given as (tag, bytes).
std::vector<unsigned char> fontWith(const std::vector<std::pair<std::string, std::vector<unsigned char>>>& tables) {
  std::vector<unsigned char> bytes = {0, 1, 0, 0, 0, static_cast<unsigned char>(tables.size()), 0, 0, 0, 0, 0, 0};
  std::size_t offset = 12 + 16 * tables.size();
  for (const auto& table : tables) {
    for (char ch : table.first) bytes.push_back(static_cast<unsigned char>(ch));
    for (int i = 0; i < 4; ++i) bytes.push_back(0);  // checksum
    for (int shift : {24, 16, 8, 0}) bytes.push_back(static_cast<unsigned char>(offset >> shift));
    for (int shift : {24, 16, 8, 0}) bytes.push_back(static_cast<unsigned char>(table.second.size() >> shift));
    offset += table.second.size();
  }
  for (const auto& table : tables) bytes.insert(bytes.end(), table.second.begin(), table.second.end());
  return bytes;
}

std::vector<unsigned char> headTable(int unitsPerEm) {
  std::vector<unsigned char> head(54, 0);
  head[18] = static_cast<unsigned char>(unitsPerEm >> 8);
  head[19] = static_cast<unsigned char>(unitsPerEm);
  return head;
}

std::vector<unsigned char> os2Table(int ascent, int descent, std::size_t size = 78) {
  std::vector<unsigned char> os2(size, 0);
  if (size >= 78) {
    os2[74] = static_cast<unsigned char>(ascent >> 8);
    os2[75] = static_cast<unsigned char>(ascent);
    os2[76] = static_cast<unsigned char>(descent >> 8);
    os2[77] = static_cast<unsigned char>(descent);
  }
  return os2;
}

struct DamagedCase {
  const char* what;
  std::vector<unsigned char> bytes;
  bool readable;
};

class DamagedFont : public testing::TestWithParam<DamagedCase> {};

TEST_P(DamagedFont, IsReadOnlyWhenWhole) {
  const DamagedCase& c = GetParam();
  platform::FontMetrics metrics;
  EXPECT_EQ(platform::readFontMetrics(c.bytes.data(), c.bytes.size(), &metrics), c.readable) << c.what;
  if (c.readable) {
    EXPECT_EQ(metrics.unitsPerEm, 1000);
    EXPECT_EQ(metrics.winAscent, 800);
    EXPECT_EQ(metrics.winDescent, 200);
  }
}

std::vector<unsigned char> cut(std::vector<unsigned char> bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

std::vector<unsigned char> withTableCount(std::vector<unsigned char> bytes, unsigned count) {
  bytes[4] = static_cast<unsigned char>(count >> 8);
  bytes[5] = static_cast<unsigned char>(count);
  return bytes;
}

const std::vector<unsigned char> kWhole = fontWith({{"head", headTable(1000)}, {"OS/2", os2Table(800, 200)}});

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedFont,
    testing::Values(DamagedCase{"whole", kWhole, true}, DamagedCase{"empty", {}, false},
                    DamagedCase{"shorter than its directory header", cut(kWhole, 11), false},
                    DamagedCase{"more tables listed than the file holds", withTableCount(kWhole, 0xFFFF), false},
                    DamagedCase{"OS/2 cut off at the end", cut(kWhole, kWhole.size() - 1), false},
                    DamagedCase{"no OS/2", fontWith({{"head", headTable(1000)}}), false},
                    DamagedCase{"no head", fontWith({{"OS/2", os2Table(800, 200)}}), false},
                    DamagedCase{"OS/2 too short for the Windows metrics",
                                fontWith({{"head", headTable(1000)}, {"OS/2", os2Table(800, 200, 70)}}), false},
                    DamagedCase{"zero units per em", fontWith({{"head", headTable(0)}, {"OS/2", os2Table(800, 200)}}),
                                false},
                    DamagedCase{"zero cell", fontWith({{"head", headTable(1000)}, {"OS/2", os2Table(0, 0)}}), false}));

}  // namespace
