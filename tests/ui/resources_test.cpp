// The launcher's pictures as committed under resources/: each bitmap has the
// size and colour depth the window code expects, and no pixel has the
// see-through key colour (R 236, G 233, B 216), so the layered window shows
// as an opaque rectangle.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "screen_capture.h"

namespace {

struct BitmapCase {
  int id, width, height, bits;
};

class Bitmap : public testing::TestWithParam<BitmapCase> {};

std::uint32_t u32(const std::string& b, std::size_t at) {
  return static_cast<std::uint8_t>(b[at]) | static_cast<std::uint8_t>(b[at + 1]) << 8 |
         static_cast<std::uint8_t>(b[at + 2]) << 16 |
         static_cast<std::uint32_t>(static_cast<std::uint8_t>(b[at + 3])) << 24;
}

TEST_P(Bitmap, HasItsSizeAndDepthAndNoKeyColour) {
  const BitmapCase& c = GetParam();
  const std::string path = std::string(VLM_RESOURCE_DIR "/") + std::to_string(c.id) + ".bmp";
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_GE(bytes.size(), 54u) << path;
  EXPECT_EQ(bytes.substr(0, 2), "BM");
  EXPECT_EQ(u32(bytes, 2), bytes.size());
  EXPECT_EQ(static_cast<std::int32_t>(u32(bytes, 18)), c.width);
  EXPECT_EQ(static_cast<std::int32_t>(u32(bytes, 22)), c.height);
  EXPECT_EQ(static_cast<std::uint8_t>(bytes[28]), c.bits);
  Picture picture = loadPicture(path);
  ASSERT_EQ(picture.width, c.width);
  int keyed = 0;
  for (const Rgb& p : picture.pixels) keyed += p == Rgb{236, 233, 216};
  EXPECT_EQ(keyed, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Bitmap,
    testing::Values(BitmapCase{101, 400, 300, 24}, BitmapCase{102, 84, 49, 24}, BitmapCase{103, 365, 31, 8},
                    BitmapCase{104, 342, 15, 8}, BitmapCase{105, 393, 15, 32}, BitmapCase{106, 342, 15, 8},
                    BitmapCase{107, 342, 15, 8}, BitmapCase{108, 84, 49, 24}, BitmapCase{109, 84, 49, 24},
                    BitmapCase{110, 84, 49, 24}, BitmapCase{111, 36, 15, 24}, BitmapCase{112, 36, 15, 24},
                    BitmapCase{113, 36, 15, 24}, BitmapCase{114, 115, 25, 24}, BitmapCase{115, 115, 25, 24},
                    BitmapCase{116, 54, 22, 24}, BitmapCase{117, 54, 22, 24}, BitmapCase{118, 50, 19, 24},
                    BitmapCase{119, 50, 19, 24}, BitmapCase{120, 50, 19, 24}, BitmapCase{121, 50, 19, 24},
                    BitmapCase{122, 56, 19, 24}, BitmapCase{123, 32, 32, 24}),
    [](const testing::TestParamInfo<BitmapCase>& p) { return "Id" + std::to_string(p.param.id); });

TEST(Bitmaps, TheLowerBarsTwoImagesAreTheSamePicture) {
  Picture a = loadPicture(VLM_RESOURCE_DIR "/106.bmp");
  Picture b = loadPicture(VLM_RESOURCE_DIR "/107.bmp");
  ASSERT_FALSE(a.empty());
  EXPECT_TRUE(a.pixels == b.pixels);
}

TEST(Bitmaps, TheCloseButtonsThreePicturesDiffer) {
  Picture normal = loadPicture(VLM_RESOURCE_DIR "/111.bmp");
  Picture over = loadPicture(VLM_RESOURCE_DIR "/112.bmp");
  Picture pressed = loadPicture(VLM_RESOURCE_DIR "/113.bmp");
  EXPECT_FALSE(normal.pixels == over.pixels);
  EXPECT_FALSE(normal.pixels == pressed.pixels);
  EXPECT_FALSE(over.pixels == pressed.pixels);
}

}  // namespace
