// Our stored-RAR writer, read back through the platform's RAR calls.
#include "tools/rar_writer/rar_writer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "platform/rar.h"
#include "support/temp_dir.h"

namespace {

TEST(RarWriter, Crc32OfTheCheckString) { EXPECT_EQ(rarCrc32("123456789", 9), 0xCBF43926u); }

TEST(RarWriter, StreamingFromAFileGivesTheSameArchive) {
  TempWorkDir work;
  // Sizes around the one-chunk boundary of the streaming writer.
  for (std::size_t size : {std::size_t{0}, std::size_t{5}, std::size_t{1} << 20, (std::size_t{1} << 20) + 3}) {
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31 + 7);
    writeWholeFile("package.dat", data);
    ASSERT_TRUE(writeStoredRarFromFile("streamed.rar", "12.dat", "package.dat")) << size;
    EXPECT_EQ(readWholeFile("streamed.rar"), encodeStoredRar({{"12.dat", data, false}})) << size;
  }
  EXPECT_FALSE(writeStoredRarFromFile("none.rar", "1.dat", "missing.dat"));
  EXPECT_FALSE(fileExists("none.rar"));
}

// What a patch's size limit is worked out from: an archive of one entry is
// its data and storedRarOverhead, whatever the name and the data.
TEST(RarWriter, OneEntryAddsExactlyItsOverhead) {
  for (const char* name : {"1.dat", "65535.dat", "a-longer-name.bin"})
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}}) {
      std::string data(size, 'd');
      EXPECT_EQ(encodeStoredRar({{name, data, false}}).size(), size + storedRarOverhead(std::strlen(name)))
          << name << " " << size;
    }
}

TEST(RarWriter, ReadsBackThroughTheLibraryCalls) {
  TempWorkDir work;
  ASSERT_TRUE(writeStoredRar(
      "w.rar",
      {{"dir", "", true}, {"dir\\one.bin", "first file", false}, {"two.bin", std::string(70000, 'z'), false}}));
  std::unique_ptr<platform::RAROpenArchiveDataEx> open(new platform::RAROpenArchiveDataEx());
  std::unique_ptr<platform::RARHeaderDataEx> header(new platform::RARHeaderDataEx());
  std::string name = "w.rar";
  open->ArcName = &name[0];
  open->OpenMode = platform::kRarOpenModeExtract;
  platform::RarHandle archive = platform::rarOpenArchiveEx(open.get());
  ASSERT_NE(archive, nullptr);
  ASSERT_EQ(open->OpenResult, 0u);

  ASSERT_EQ(platform::rarReadHeaderEx(archive, header.get()), 0);
  EXPECT_EQ(header->Flags & 0xE0, 0xE0u) << "a directory";
  EXPECT_EQ(platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr), 0);

  ASSERT_EQ(platform::rarReadHeaderEx(archive, header.get()), 0);
  std::string stored = header->FileName;
  EXPECT_TRUE(stored == "dir\\one.bin" || stored == "dir/one.bin") << stored;
  EXPECT_NE(header->Flags & 0xE0, 0xE0u);
  EXPECT_EQ(platform::rarProcessFile(archive, platform::kRarExtract, "", "one.out"), 0);

  ASSERT_EQ(platform::rarReadHeaderEx(archive, header.get()), 0);
  EXPECT_EQ(std::string(header->FileName), "two.bin");
  EXPECT_EQ(platform::rarProcessFile(archive, platform::kRarExtract, "", "two.out"), 0);

  EXPECT_NE(platform::rarReadHeaderEx(archive, header.get()), 0) << "the end";
  EXPECT_EQ(platform::rarCloseArchive(archive), 0);
  EXPECT_EQ(readWholeFile("one.out"), "first file");
  EXPECT_EQ(readWholeFile("two.out"), std::string(70000, 'z'));
}

}  // namespace
