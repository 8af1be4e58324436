#include "archive/patch_package.h"

#include <gtest/gtest.h>

#include "archive/package_writer.h"
#include "archive_fixture.h"

namespace {

using PatchPackageTest = ArchiveTest;

archive::PatchPackageSpec abcPackage() {
  archive::PatchPackageSpec spec;
  spec.seed = 0x05;
  spec.version = 0x0102;
  spec.type = 1;
  spec.items = {{0x1234, "", "abc"}};
  return spec;
}

archive::PatchPackageSpec namedPackage() {
  archive::PatchPackageSpec spec;
  spec.seed = 0x05;
  spec.version = 0x0102;
  spec.type = 3;
  spec.items = {{0, "a.txt", "abc"}, {0, "b", ""}};
  return spec;
}

TEST_F(PatchPackageTest, KeyedPackageEncodesToThePublishedBytes) {
  EXPECT_EQ(hex(archive::encodePatchPackage(abcPackage())), "05 02 0E 7F 01 3C 34 12 00 00 03 00 00 00 9D 3D 5D");
}

TEST_F(PatchPackageTest, NamedPackageEncodesToThePublishedBytes) {
  EXPECT_EQ(hex(archive::encodePatchPackage(namedPackage())),
            "05 02 0E 7D 02 3C 05 00 00 00 1F 50 0A 06 0A 03 00 00 00 9D 3D 5D 00 C6 00 00 1C 01 C6 00 00");
}

TEST_F(PatchPackageTest, SeedZeroStoresHeaderAndFirstItemFieldsPlain) {
  archive::PatchPackageSpec spec = abcPackage();
  spec.seed = 0;
  EXPECT_EQ(hex(archive::encodePatchPackage(spec)), "00 02 01 01 01 00 34 12 00 00 03 00 00 00 61 03 A1");
}

TEST_F(PatchPackageTest, SeedsZeroAndOneHundredTwentyEightGiveTheSameBytes) {
  archive::PatchPackageSpec a = namedPackage(), b = namedPackage();
  a.seed = 0x00;
  b.seed = 0x80;
  a.items.push_back({0, "c/d.bin", std::string(300, 'q')});
  b.items = a.items;
  std::string x = archive::encodePatchPackage(a), y = encodePatchPackage(b);
  EXPECT_TRUE(x.substr(1) == y.substr(1));
}

TEST_F(PatchPackageTest, LoadsTheNamedPackageAndKeepsTheFile) {
  ASSERT_TRUE(archive::writePatchPackageFile("1.dat", namedPackage()));
  archive::PatchPackage package;
  ASSERT_TRUE(archive::loadPatchPackage(package, "1.dat"));
  EXPECT_EQ(package.version, 0x0102);
  EXPECT_EQ(package.type, 3);
  ASSERT_EQ(package.itemCount, 2);
  ASSERT_EQ(package.items.size(), 2u);
  EXPECT_EQ(package.items[0].name, "a.txt");
  EXPECT_EQ(package.items[1].name, "b");
  EXPECT_EQ(package.items[1].dataLength, 0u);
  std::string data;
  ASSERT_TRUE(archive::readWholePatchItem(package, package.items[0], &data));
  EXPECT_EQ(data, "abc");
  ASSERT_TRUE(archive::readWholePatchItem(package, package.items[1], &data));
  EXPECT_EQ(data, "");
  archive::closePatchPackage(package);
  EXPECT_FALSE(package.file.isOpen());
  EXPECT_TRUE(package.items.empty());
}

struct DataCase {
  std::size_t length;
  std::size_t scrambled;
};

TEST_F(PatchPackageTest, DataRoundTripsAndOnlyThePrefixIsScrambled) {
  const DataCase cases[] = {{0, 0}, {1, 1}, {127, 127}, {128, 128}, {200, 128}, {65536, 0}, {65537, 1}, {70000, 128}};
  for (const DataCase& c : cases) {
    SCOPED_TRACE(c.length);
    std::string plain(c.length, '\0');
    for (std::size_t k = 0; k < plain.size(); ++k) plain[k] = static_cast<char>(k * 7 + 3);
    archive::PatchPackageSpec spec;
    spec.seed = 0x33;
    spec.type = 1;
    spec.items = {{0xAABBCCDD, "", plain}, {7, "", "tail"}};
    std::string encoded = archive::encodePatchPackage(spec);
    std::string stored = encoded.substr(6 + 8, c.length);
    std::size_t differing = 0, lastDiffering = 0;
    for (std::size_t k = 0; k < c.length; ++k) {
      if (stored[k] != plain[k]) {
        ++differing;
        lastDiffering = k;
      }
    }
    EXPECT_LE(differing, c.scrambled);
    if (c.scrambled > 0) {
      EXPECT_LT(lastDiffering, c.scrambled);
    }
    EXPECT_TRUE(stored.substr(c.scrambled) == plain.substr(c.scrambled));

    writeWholeFile("p.dat", encoded);
    archive::PatchPackage package;
    ASSERT_TRUE(archive::loadPatchPackage(package, "p.dat"));
    ASSERT_EQ(package.items.size(), 2u);
    EXPECT_EQ(package.items[0].key, 0xAABBCCDDu);
    std::string data;
    ASSERT_TRUE(archive::readWholePatchItem(package, package.items[0], &data));
    EXPECT_TRUE(data == plain);
    // Reading in pieces gives the same bytes as reading whole.
    std::string pieces(c.length, '\0');
    for (std::size_t at = 0; at < c.length; at += 50) {
      std::size_t n = std::min<std::size_t>(50, c.length - at);
      ASSERT_TRUE(archive::readPatchItemData(package, package.items[0], at, &pieces[at], n));
    }
    EXPECT_TRUE(pieces == plain);
    ASSERT_TRUE(archive::readWholePatchItem(package, package.items[1], &data));
    EXPECT_EQ(data, "tail");
    archive::closePatchPackage(package);
  }
}

TEST_F(PatchPackageTest, OtherTypesCarryDataOnly) {
  archive::PatchPackageSpec spec;
  spec.seed = 9;
  spec.type = 0;
  spec.items = {{0x55, "ignored", "xy"}, {0x66, "", ""}};
  std::string encoded = archive::encodePatchPackage(spec);
  EXPECT_EQ(encoded.size(), 6u + 4 + 2 + 4);
  writeWholeFile("p.dat", encoded);
  archive::PatchPackage package;
  ASSERT_TRUE(archive::loadPatchPackage(package, "p.dat"));
  EXPECT_EQ(package.items[0].key, 0u);
  EXPECT_EQ(package.items[0].name, "");
  EXPECT_EQ(package.items[0].dataLength, 2u);
  archive::closePatchPackage(package);
}

TEST_F(PatchPackageTest, AnEmptyPackageLoads) {
  archive::PatchPackageSpec spec;
  spec.seed = 0x77;
  spec.version = 9;
  ASSERT_TRUE(archive::writePatchPackageFile("p.dat", spec));
  archive::PatchPackage package;
  ASSERT_TRUE(archive::loadPatchPackage(package, "p.dat"));
  EXPECT_EQ(package.itemCount, 0);
  EXPECT_TRUE(package.items.empty());
  EXPECT_EQ(package.version, 9);
  archive::closePatchPackage(package);
}

TEST_F(PatchPackageTest, AMissingFileGivesFalseAndCreatesNothing) {
  archive::PatchPackage package;
  EXPECT_FALSE(archive::loadPatchPackage(package, "nothere.dat"));
  EXPECT_FALSE(fileExists("nothere.dat"));
  EXPECT_EQ(package.itemCount, 0);
  EXPECT_FALSE(package.file.isOpen());
}

TEST_F(PatchPackageTest, ANameIsCutAtAZeroByte) {
  archive::PatchPackageSpec spec;
  spec.seed = 3;
  spec.type = 3;
  spec.items = {{0, std::string("ab\0cd", 5), "x"}};
  archive::writePatchPackageFile("p.dat", spec);
  archive::PatchPackage package;
  ASSERT_TRUE(archive::loadPatchPackage(package, "p.dat"));
  EXPECT_EQ(package.items[0].name, "ab");
  archive::closePatchPackage(package);
}

struct BadPackage {
  const char* what;
  std::string data;
};

TEST_F(PatchPackageTest, MalformedPackagesAreRejectedWhole) {
  archive::PatchPackageSpec named = namedPackage();
  named.items.push_back({0, std::string(259, 'n'), "z"});
  std::string good = archive::encodePatchPackage(named);
  std::vector<BadPackage> cases;
  for (std::size_t cut = 0; cut < good.size(); ++cut) cases.push_back({"prefix", good.substr(0, cut)});
  archive::PatchPackageSpec longName;
  longName.type = 3;
  longName.items = {{0, std::string(260, 'n'), "z"}};
  cases.push_back({"name of 260 bytes", archive::encodePatchPackage(longName)});
  // seed 0: header and item 0 plain. One item whose name length is 0xFFFFFFFF.
  cases.push_back({"name length 0xFFFFFFFF", bytes({0, 0, 0, 3, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF})});
  cases.push_back({"data length 0xFFFFFFFF", bytes({0, 0, 0, 1, 1, 0, 1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'a'})});
  cases.push_back({"data length one past the end", bytes({0, 0, 0, 1, 1, 0, 1, 0, 0, 0, 3, 0, 0, 0, 'a', 'b'})});
  cases.push_back({"65535 items, none present", bytes({0, 0, 0, 1, 0xFF, 0xFF})});
  for (const BadPackage& bad : cases) {
    SCOPED_TRACE(std::string(bad.what) + " size " + std::to_string(bad.data.size()));
    writeWholeFile("bad.dat", bad.data);
    archive::PatchPackage package;
    EXPECT_FALSE(archive::loadPatchPackage(package, "bad.dat"));
    EXPECT_TRUE(package.items.empty());
    EXPECT_FALSE(package.file.isOpen());
    EXPECT_TRUE(platform::deleteFile("bad.dat"));  // the file was closed again
  }
  writeWholeFile("good.dat", good);
  archive::PatchPackage package;
  EXPECT_TRUE(archive::loadPatchPackage(package, "good.dat"));
  EXPECT_EQ(package.items[2].name, std::string(259, 'n'));
  archive::closePatchPackage(package);
}

struct DamagedPackage {
  const char* what;
  std::string bytes;
  const char* reason;  // what loadPatchPackage says, naming the record
};

TEST_F(PatchPackageTest, EachDamagedRecordGivesItsReason) {
  archive::PatchPackageSpec two;  // seed 0: the header and item 0 stored plain
  two.items = {{1, "", "aaaa"}, {2, "", "b"}};
  const std::string twoItems = archive::encodePatchPackage(two);
  const DamagedPackage cases[] = {
      {"empty file", "", "ends within the header (0 of 6 bytes)"},
      {"65535 items, none present", bytes({0, 0, 0, 1, 0xFF, 0xFF}),
       "65535 items need at least 524280 bytes, 0 are left"},
      {"name length 0xFFFFFFFF", bytes({0, 0, 0, 3, 1, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}),
       "item 0: name length 4294967295 above 259"},
      {"name cut short", bytes({0, 0, 0, 3, 1, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd'}),
       "item 0: ends within the name (4 of 5 bytes)"},
      {"data one past the end", bytes({0, 0, 0, 1, 1, 0, 1, 0, 0, 0, 3, 0, 0, 0, 'a', 'b'}),
       "item 0: data runs past the package end (3 bytes, 2 left)"},
      {"second item's data length cut short", twoItems.substr(0, twoItems.size() - 3),
       "item 1: ends within the data length (2 of 4 bytes)"},
  };
  for (const DamagedPackage& c : cases) {
    writeWholeFile("bad.dat", c.bytes);
    archive::PatchPackage package;
    platform::Status loaded = archive::loadPatchPackage(package, "bad.dat");
    EXPECT_FALSE(loaded.ok()) << c.what;
    EXPECT_EQ(loaded.reason(), c.reason) << c.what;
    EXPECT_FALSE(package.file.isOpen()) << c.what;
    archive::PatchPackage looked;
    EXPECT_EQ(archive::loadPatchPackageReadOnly(looked, "bad.dat").reason(), c.reason) << c.what;
  }
}

TEST_F(PatchPackageTest, BytesAfterTheLastItemAreIgnored) {
  writeWholeFile("p.dat", archive::encodePatchPackage(abcPackage()) + "trailing");
  archive::PatchPackage package;
  ASSERT_TRUE(archive::loadPatchPackage(package, "p.dat"));
  EXPECT_EQ(package.items.size(), 1u);
  archive::closePatchPackage(package);
}

TEST_F(PatchPackageTest, TheStreamingWriterMatchesTheEncoder) {
  archive::PatchPackageSpec spec = namedPackage();
  spec.items.push_back({0, "big.bin", std::string(3 << 20, '\0')});
  for (std::size_t k = 0; k < spec.items[2].data.size(); ++k) spec.items[2].data[k] = static_cast<char>(k % 251);
  archive::PackageFileWriter writer;
  ASSERT_TRUE(archive::beginPackageFile(writer, "s.dat", spec.seed, spec.version, spec.type,
                                        static_cast<std::uint16_t>(spec.items.size())));
  for (const archive::PackageItemSpec& item : spec.items) {
    ASSERT_TRUE(addPackageItem(
        writer, item.key, item.name, static_cast<std::uint32_t>(item.data.size()),
        [&](std::uint64_t from, char* out, std::size_t length) { std::copy_n(item.data.data() + from, length, out); }));
  }
  ASSERT_TRUE(archive::finishPackageFile(writer));
  EXPECT_TRUE(readWholeFile("s.dat") == archive::encodePatchPackage(spec));

  // Begun with no count: restated once the items are in, whether the
  // header is still pending (the small package) or written long before.
  for (bool large : {false, true}) {
    archive::PatchPackageSpec counted = spec;
    if (!large) counted.items.pop_back();
    archive::PackageFileWriter later;
    ASSERT_TRUE(archive::beginPackageFile(later, "u.dat", counted.seed, counted.version, counted.type, 0));
    for (const archive::PackageItemSpec& item : counted.items) {
      ASSERT_TRUE(addPackageItem(later, item.key, item.name, static_cast<std::uint32_t>(item.data.size()),
                                 [&](std::uint64_t from, char* out, std::size_t length) {
                                   std::copy_n(item.data.data() + from, length, out);
                                 }));
    }
    EXPECT_EQ(later.written > 0, large);
    ASSERT_TRUE(archive::restatePackageItemCount(later));
    ASSERT_TRUE(archive::finishPackageFile(later));
    EXPECT_TRUE(readWholeFile("u.dat") == archive::encodePatchPackage(counted)) << large;
  }

  archive::PackageFileWriter shortWriter;
  ASSERT_TRUE(archive::beginPackageFile(shortWriter, "t.dat", 0, 0, 1, 2));
  ASSERT_TRUE(archive::addPackageItem(shortWriter, 1, "", 0, nullptr));
  EXPECT_FALSE(archive::finishPackageFile(shortWriter));  // announced two items
}

}  // namespace
