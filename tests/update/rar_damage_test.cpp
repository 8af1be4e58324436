// Damaged patch archives: what the RAR library (libarchive through the
// adapter on Linux, the stand-in library under Wine) reports for each kind of
// damage, and that extractPatchArchive then fails and leaves no package.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "platform/rar.h"
#include "support/temp_dir.h"
#include "tools/rar_writer/rar_writer.h"
#include "update/rar_extract.h"

namespace fs = std::filesystem;

namespace {

enum class Damage {
  kNone,
  kFlipDataByte,    // one byte of the entry's data changed: its CRC no longer matches
  kCutInData,       // the file ends inside the entry's data
  kCutInHeader,     // the file ends inside the entry's header
  kBreakHeaderCrc,  // one byte of the entry's name changed: its header CRC no longer matches
};

// Where entry `index` of encodeStoredRar(entries) begins: its header, and
// its data after the 32 fixed bytes and the name.
std::size_t headerOffset(const std::vector<RarEntrySpec>& entries, std::size_t index) {
  std::size_t at = 7 + 13;  // marker and main header
  for (std::size_t i = 0; i < index; ++i) at += 32 + entries[i].name.size() + entries[i].data.size();
  return at;
}
std::size_t dataOffset(const std::vector<RarEntrySpec>& entries, std::size_t index) {
  return headerOffset(entries, index) + 32 + entries[index].name.size();
}

std::string damagedArchive(const std::vector<RarEntrySpec>& entries, Damage damage, std::size_t index) {
  std::string bytes = encodeStoredRar(entries);
  switch (damage) {
    case Damage::kNone:
      break;
    case Damage::kFlipDataByte:
      bytes[dataOffset(entries, index) + entries[index].data.size() / 2] ^= 0x55;
      break;
    case Damage::kCutInData:
      bytes.resize(dataOffset(entries, index) + entries[index].data.size() / 2);
      break;
    case Damage::kCutInHeader:
      bytes.resize(headerOffset(entries, index) + 20);
      break;
    case Damage::kBreakHeaderCrc:
      bytes[headerOffset(entries, index) + 32] ^= 0x01;
      break;
  }
  return bytes;
}

// Every file under the working directory but the archive, with its bytes.
std::vector<std::pair<std::string, std::string>> filesHere() {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto& entry : fs::recursive_directory_iterator(".")) {
    std::string name = fs::relative(entry.path(), ".").generic_string();
    if (!entry.is_directory() && name != "in.rar") files.emplace_back(name, readWholeFile(name));
  }
  std::sort(files.begin(), files.end());
  return files;
}

// What the library's calls answer: read a header, extract the entry, and so
// on, up to the first result that is not 0.
struct ReportCase {
  const char* label;
  Damage damage;
  std::size_t index;
  std::vector<int> results;
};
void PrintTo(const ReportCase& c, std::ostream* os) { *os << c.label; }

class LibraryReports : public ::testing::TestWithParam<ReportCase> {};

TEST_P(LibraryReports, EachDamageAsTheLibraryDoes) {
  TempWorkDir work;
  const std::vector<RarEntrySpec> entries = {{"a.dat", std::string(100, 'a'), false},
                                             {"b.dat", std::string(50, 'b'), false}};
  writeWholeFile("in.rar", damagedArchive(entries, GetParam().damage, GetParam().index));
  std::unique_ptr<platform::RAROpenArchiveDataEx> open(new platform::RAROpenArchiveDataEx());
  std::unique_ptr<platform::RARHeaderDataEx> header(new platform::RARHeaderDataEx());
  std::string path = "in.rar";
  open->ArcName = &path[0];
  open->OpenMode = platform::kRarOpenModeExtract;
  platform::RarHandle archive = platform::rarOpenArchiveEx(open.get());
  ASSERT_EQ(open->OpenResult, 0u);
  std::vector<int> results;
  const char* names[] = {"a.out", "b.out"};
  for (int step = 0; step < 5 && (results.empty() || results.back() == 0); ++step) {
    results.push_back(step % 2 == 0 ? platform::rarReadHeaderEx(archive, header.get())
                                    : platform::rarProcessFile(archive, platform::kRarExtract, "", names[step / 2]));
  }
  platform::rarCloseArchive(archive);
  EXPECT_EQ(results, GetParam().results);
}

constexpr int kBadData = static_cast<int>(platform::kRarBadData);
constexpr int kEnd = static_cast<int>(platform::kRarEndArchive);

INSTANTIATE_TEST_SUITE_P(
    Table, LibraryReports,
    ::testing::Values(ReportCase{"Intact", Damage::kNone, 0, {0, 0, 0, 0, kEnd}},
                      ReportCase{"WrongChecksumFromProcessFile", Damage::kFlipDataByte, 0, {0, kBadData}},
                      ReportCase{"WrongChecksumOfTheLastEntry", Damage::kFlipDataByte, 1, {0, 0, 0, kBadData}},
                      ReportCase{"DataCutShortFromProcessFile", Damage::kCutInData, 1, {0, 0, 0, kBadData}},
                      ReportCase{"HeaderCutShortFromReadHeader", Damage::kCutInHeader, 1, {0, 0, kBadData}},
                      ReportCase{"BrokenHeaderFromReadHeader", Damage::kBreakHeaderCrc, 0, {kBadData}}),
    [](const ::testing::TestParamInfo<ReportCase>& p) { return p.param.label; });

using Files = std::vector<std::pair<std::string, std::string>>;

struct FailureCase {
  const char* label;
  std::vector<RarEntrySpec> entries;
  Damage damage;
  std::size_t index;
  Files before;  // files there before the extraction
  Files after;   // every file there afterwards, the archive aside
};
void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class DamagedArchive : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DamagedArchive, FailsAndLeavesNoPackage) {
  TempWorkDir work;
  for (const auto& file : GetParam().before) writeWholeFile(file.first, file.second);
  writeWholeFile("in.rar", damagedArchive(GetParam().entries, GetParam().damage, GetParam().index));
  ::testing::internal::CaptureStdout();
  bool extracted = update::extractPatchArchive("in.rar", "12.dat");
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(extracted);
  EXPECT_NE(printed.find("RAR error 12"), std::string::npos) << printed;
  EXPECT_NE(printed.find("Falha ao extrair.\n"), std::string::npos) << printed;
  EXPECT_EQ(filesHere(), GetParam().after);
}

const std::string kPackage(300, 'p');

INSTANTIATE_TEST_SUITE_P(
    Table, DamagedArchive,
    ::testing::Values(
        FailureCase{"WrongChecksumOfThePackage", {{"12.dat", kPackage, false}}, Damage::kFlipDataByte, 0, {}, {}},
        FailureCase{"PackageCutShort", {{"12.dat", kPackage, false}}, Damage::kCutInData, 0, {}, {}},
        FailureCase{"HeaderCutShortAfterAWholePackage",
                    {{"12.dat", kPackage, false}, {"more.dat", "more", false}},
                    Damage::kCutInHeader,
                    1,
                    {},
                    {}},
        FailureCase{"BrokenHeaderAfterAWholePackage",
                    {{"12.dat", kPackage, false}, {"more.dat", "more", false}},
                    Damage::kBreakHeaderCrc,
                    1,
                    {},
                    {}},
        FailureCase{"DamagedSecondEntryForTheSameTarget",
                    {{"a.dat", kPackage, false}, {"b.dat", kPackage, false}},
                    Damage::kFlipDataByte,
                    1,
                    {},
                    {}},
        FailureCase{"DamagedExtEntryKeepsTheFileItWouldReplace",
                    {{"ext\\readme.txt", "the new text", false}},
                    Damage::kFlipDataByte,
                    0,
                    {{"readme.txt", "old text"}},
                    {{"readme.txt", "old text"}}},
        FailureCase{"AnExtEntryBeforeTheDamageStaysReplaced",
                    {{"ext\\readme.txt", "the new text", false}, {"12.dat", kPackage, false}},
                    Damage::kFlipDataByte,
                    1,
                    {{"readme.txt", "old text"}},
                    {{"readme.txt", "the new text"}}}),
    [](const ::testing::TestParamInfo<FailureCase>& p) { return p.param.label; });

// Every length of data is checked whole: a byte changed at its start, in
// its middle or at its end fails the entry, whatever its length and however
// the library reads it in pieces.
class EveryLength : public ::testing::TestWithParam<std::size_t> {};

TEST_P(EveryLength, IsCheckedToTheLastByte) {
  TempWorkDir work;
  std::string data(GetParam(), '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 2654435761u) >> 13);
  const std::vector<RarEntrySpec> entries = {{"12.dat", data, false}};
  writeWholeFile("in.rar", encodeStoredRar(entries));
  ASSERT_TRUE(update::extractPatchArchive("in.rar", "12.dat"));
  EXPECT_TRUE(readWholeFile("12.dat") == data);
  if (data.empty()) return;
  for (std::size_t at : {std::size_t(0), data.size() / 2, data.size() - 1}) {
    std::string bytes = encodeStoredRar(entries);
    bytes[dataOffset(entries, 0) + at] ^= 0x01;
    writeWholeFile("in.rar", bytes);
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(update::extractPatchArchive("in.rar", "12.dat")) << "byte " << at;
    ::testing::internal::GetCapturedStdout();
    EXPECT_FALSE(fileExists("12.dat")) << "byte " << at;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, EveryLength,
                         ::testing::Values(0, 1, 15, 16, 17, 63, 64, 65, 127, 128, 1000, 4099, (1u << 20) + 13,
                                           3u * (1u << 20) + 5),
                         [](const ::testing::TestParamInfo<std::size_t>& p) { return std::to_string(p.param); });

#if !defined(_WIN32)
// RAR 5 archives with stored entries, for the Linux adapter's own checksum
// check (libarchive checks none for stored entries; the Windows stand-in
// library reads RAR 4 only). Layout: signature 52 61 72 21 1A 07 01 00; each
// block is CRC32 u32 (of what follows it in the header), header size vint,
// type vint, flags vint, then its fields; a file block (type 2, flag 2: data
// follows) has data size vint, file flags vint (4: a data CRC32 follows),
// unpacked size vint, attributes vint, [data CRC32 u32], compression info
// vint (0: stored), host OS vint, name length vint, name.
std::string vint(std::uint64_t value) {
  std::string out;
  do {
    unsigned char byte = value & 0x7F;
    value >>= 7;
    if (value) byte |= 0x80;
    out += static_cast<char>(byte);
  } while (value);
  return out;
}

std::string le32(std::uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  return out;
}

std::string rar5Block(std::uint64_t type, std::uint64_t flags, const std::string& fields) {
  std::string inner = vint(type) + vint(flags) + fields;
  std::string sized = vint(inner.size()) + inner;
  return le32(rarCrc32(sized.data(), sized.size())) + sized;
}

struct Rar5Entry {
  std::string name;
  std::string data;
  bool withCrc;
};

std::string encodeStoredRar5(const std::vector<Rar5Entry>& entries) {
  std::string out("Rar!\x1A\x07\x01\x00", 8);
  out += rar5Block(1, 0, vint(0));
  for (const Rar5Entry& entry : entries) {
    std::string fields = vint(entry.data.size()) + vint(entry.withCrc ? 4 : 0) + vint(entry.data.size()) + vint(0x20);
    if (entry.withCrc) fields += le32(rarCrc32(entry.data.data(), entry.data.size()));
    fields += vint(0) + vint(0) + vint(entry.name.size()) + entry.name;
    out += rar5Block(2, 2, fields) + entry.data;
  }
  return out + rar5Block(5, 0, vint(0));
}

struct Rar5Case {
  const char* label;
  bool withCrc;
  bool flipByte;
  bool extracts;
};
void PrintTo(const Rar5Case& c, std::ostream* os) { *os << c.label; }

class Rar5Stored : public ::testing::TestWithParam<Rar5Case> {};

TEST_P(Rar5Stored, IsCheckedWhereTheHeaderHasACrc) {
  TempWorkDir work;
  const std::string data(200, 'q');
  std::string bytes = encodeStoredRar5({{"first.bin", "first", true}, {"12.dat", data, GetParam().withCrc}});
  if (GetParam().flipByte) bytes[bytes.size() - 8 - data.size() / 2] ^= 0x20;
  writeWholeFile("in.rar", bytes);
  ::testing::internal::CaptureStdout();
  bool extracted = update::extractPatchArchive("in.rar", "12.dat");
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(extracted, GetParam().extracts);
  EXPECT_EQ(fileExists("12.dat"), GetParam().extracts);
  if (GetParam().extracts && !GetParam().flipByte) {
    EXPECT_EQ(readWholeFile("12.dat"), data);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, Rar5Stored,
                         ::testing::Values(Rar5Case{"IntactWithCrc", true, false, true},
                                           Rar5Case{"DamagedWithCrcFails", true, true, false},
                                           Rar5Case{"IntactWithoutCrc", false, false, true},
                                           // Nothing to check it against: as the library, it passes.
                                           Rar5Case{"DamagedWithoutCrcCannotBeTold", false, true, true}),
                         [](const ::testing::TestParamInfo<Rar5Case>& p) { return p.param.label; });
#endif

}  // namespace
