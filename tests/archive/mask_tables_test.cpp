#include "archive/mask_tables.h"

#include <gtest/gtest.h>

#include "archive/index_format.h"
#include "archive/package_format.h"

namespace {

TEST(MaskTables, T16IsTheCrc16ArcTable) {
  EXPECT_EQ(archive::T16[0], 0x0000);
  EXPECT_EQ(archive::T16[1], 0xC0C1);
  EXPECT_EQ(archive::T16[2], 0xC181);
  EXPECT_EQ(archive::T16[3], 0x0140);
  EXPECT_EQ(archive::T16[255], 0x4040);
  // The table computes CRC-16/ARC: check value of "123456789" is 0xBB3D.
  std::uint16_t crc = 0;
  for (char c : std::string("123456789")) crc = static_cast<std::uint16_t>((crc >> 8) ^ archive::T16[(crc ^ c) & 0xFF]);
  EXPECT_EQ(crc, 0xBB3D);
}

TEST(MaskTables, T8IsTheMaximCrc8Table) {
  EXPECT_EQ(archive::T8[0], 0x00);
  EXPECT_EQ(archive::T8[1], 0x5E);
  EXPECT_EQ(archive::T8[2], 0xBC);
  EXPECT_EQ(archive::T8[3], 0xE2);
  // CRC-8/MAXIM check value of "123456789" is 0xA1.
  std::uint8_t crc = 0;
  for (char c : std::string("123456789")) crc = archive::T8[(crc ^ static_cast<std::uint8_t>(c)) & 0xFF];
  EXPECT_EQ(crc, 0xA1);
}

struct IndexMaskRow {
  unsigned position;
  std::uint32_t entryCount, key, offset, size;
};

TEST(MaskTables, IndexMasks) {
  const IndexMaskRow rows[] = {
      {0, 0x0000, 0x0000, 0x0000, 0x0000}, {1, 0xC301, 0xCC01, 0xC601, 0xF001}, {2, 0xC601, 0xD801, 0xCC01, 0xA001},
      {3, 0x0500, 0x1400, 0x0A00, 0x5000}, {4, 0xCC01, 0xF001, 0xD801, 0x0000},
  };
  for (const IndexMaskRow& row : rows) {
    SCOPED_TRACE(row.position);
    EXPECT_EQ(archive::entryCountMask(row.position), row.entryCount);
    EXPECT_EQ(archive::entryKeyMask(row.position), row.key);
    EXPECT_EQ(archive::entryOffsetMask(row.position), row.offset);
    EXPECT_EQ(archive::entrySizeMask(row.position), row.size);
  }
  EXPECT_EQ(archive::entryCountMask(64), 0u);
  EXPECT_EQ(archive::entryKeyMask(16), 0u);
  EXPECT_EQ(archive::entryOffsetMask(32), 0u);
  EXPECT_EQ(archive::entrySizeMask(4), 0u);
}

struct SeedMaskRow {
  std::uint8_t seed;
  std::uint16_t version;
  std::uint8_t type;
  std::uint16_t count;
  std::uint8_t data[4];
};

TEST(MaskTables, PackageSeedMasks) {
  const SeedMaskRow rows[] = {
      {0x00, 0x0000, 0x00, 0x0000, {0x00, 0x61, 0xC2, 0xA3}}, {0x01, 0xC301, 0xBC, 0xCC01, {0x61, 0xC2, 0xA3, 0x9D}},
      {0x05, 0x0F00, 0x7E, 0x3C00, {0xFC, 0x5F, 0x3E, 0x23}}, {0x40, 0x0000, 0x8C, 0x0000, {0x00, 0x61, 0xC2, 0xA3}},
      {0xFF, 0x4100, 0x6B, 0x4400, {0xD7, 0x00, 0x61, 0xC2}},
  };
  for (const SeedMaskRow& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.seed));
    EXPECT_EQ(archive::packageVersionMask(row.seed), row.version);
    EXPECT_EQ(archive::packageTypeMask(row.seed), row.type);
    EXPECT_EQ(archive::packageCountMask(row.seed), row.count);
    for (unsigned k = 0; k < 4; ++k) EXPECT_EQ(archive::itemDataMask(row.seed, k), row.data[k]) << k;
  }
}

TEST(MaskTables, PackageItemMasks) {
  const std::uint32_t key[] = {0x0000, 0xCC01, 0xD801, 0x1400, 0xF001};
  const std::uint32_t length[] = {0x0000, 0xC601, 0xCC01, 0x0A00, 0xD801};
  for (unsigned i = 0; i < 5; ++i) {
    EXPECT_EQ(archive::itemKeyMask(i), key[i]) << i;
    EXPECT_EQ(archive::itemLengthMask(i), length[i]) << i;
    EXPECT_EQ(archive::itemKeyMask(i + 16), key[i]) << i;
    EXPECT_EQ(archive::itemLengthMask(i + 32), length[i]) << i;
  }
}

TEST(MaskTables, SeedsOneHundredTwentyEightApartMaskAlike) {
  for (unsigned s = 0; s < 128; ++s) {
    auto a = static_cast<std::uint8_t>(s), b = static_cast<std::uint8_t>(s + 128);
    EXPECT_EQ(archive::packageVersionMask(a), archive::packageVersionMask(b));
    EXPECT_EQ(archive::packageTypeMask(a), archive::packageTypeMask(b));
    EXPECT_EQ(archive::packageCountMask(a), archive::packageCountMask(b));
    for (unsigned k = 0; k < 128; ++k) EXPECT_EQ(archive::itemDataMask(a, k), archive::itemDataMask(b, k));
  }
}

TEST(MaskTables, ScrambledPrefixCountsOnlyTheLowSixteenBits) {
  EXPECT_EQ(archive::scrambledPrefix(0), 0u);
  EXPECT_EQ(archive::scrambledPrefix(3), 3u);
  EXPECT_EQ(archive::scrambledPrefix(200), 128u);
  EXPECT_EQ(archive::scrambledPrefix(65536), 0u);
  EXPECT_EQ(archive::scrambledPrefix(65537), 1u);
  EXPECT_EQ(archive::scrambledPrefix(65536 + 500), 128u);
}

}  // namespace
