// The starting point of bench/rollover_bench.sh: an installation whose one
// archive is filled up to a little below the archive size limit, and a
// type-1 package that fills it up to the limit exactly and goes on into a
// new archive. Writing 1.9 GiB for every installation would cost more than
// everything measured, so the archive is a sparse file: its entries' bytes
// are zeros but for a short pattern at the start of each, and the storage
// code, which only ever appends and asks for the file's size, sees a full
// archive either way.
//
// With R bytes of room left in GAME0.VFS, the package holds, in this order:
//   1. one item of about 3/5 of R              -> GAME0.VFS (written alone)
//   2. one item larger than the room left       -> GAME1.VFS, created for it
//   3. items of 64 KiB and one of the remainder -> GAME0.VFS (gathered into
//      batches), which then ends exactly at the limit
//   4. 1,000 items of 1 KiB                     -> GAME1.VFS (a new batch)
//   5. 4 items of 4 MiB replacing keys of the full archive -> GAME1.VFS
//   6. one item of 64 MiB                       -> GAME1.VFS
// Every byte of the package is a pattern of its key and place.
//
// Usage: rollover_setup DIR [--version N] [--room BYTES]
//   writes DIR/base/ (data.idx at version N, GAME0.VFS) and
//   DIR/package.dat (version N + 1); prints the sizes the archives must
//   have once the package is applied.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/index_writer.h"
#include "archive/package_writer.h"
#include "archive/storage.h"
#include "platform/file.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kMiB = 1u << 20;
constexpr std::uint32_t kFillerEntry = 256u * kMiB;  // the full archive's entries, the last one shorter
constexpr std::uint32_t kFillerKeys = 0x100;         // the full archive's first key
constexpr std::uint32_t kPatternBytes = 4096;        // written at the start of each filler entry

struct Item {
  std::uint32_t key;
  std::uint32_t size;
};

void fillPattern(std::uint32_t key, std::uint64_t from, char* out, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char>(((from + i) * 2654435761u + key) >> 13);
}

bool writeBase(const fs::path& dir, std::uint32_t version, std::uint32_t filled) {
  fs::create_directories(dir);
  std::vector<archive::FileEntry> entries;
  for (std::uint32_t offset = 0, n = 0; offset < filled; offset += kFillerEntry, ++n) {
    std::uint32_t size = filled - offset < kFillerEntry ? filled - offset : kFillerEntry;
    entries.push_back({kFillerKeys + n, offset, size});
  }
  std::string archiveName = (dir / "GAME0.VFS").string();
  platform::File file(platform::createFile(archiveName.c_str()));
  if (!file) return false;
  std::vector<char> pattern(kPatternBytes);
  for (const archive::FileEntry& e : entries) {
    fillPattern(e.key, 0, pattern.data(), pattern.size());
    if (!platform::writeFileAt(file.get(), e.offset, pattern.data(), pattern.size()).ok()) return false;
  }
  file.reset();
  std::error_code failed;
  fs::resize_file(archiveName, filled, failed);  // the rest stays a hole
  if (failed) return false;
  return archive::writeIndexFile((dir / archive::kIndexFileName).string().c_str(), version, {{"GAME0.VFS", entries}})
      .ok();
}

std::vector<Item> packageItems(std::uint32_t room, std::uint64_t* game1) {
  std::vector<Item> items;
  std::uint32_t key = 0x10000;
  // Not a whole number of 64 KiB items: the last of them is shorter.
  std::uint32_t first = room / 5 * 3 / kMiB * kMiB + 12345;
  items.push_back({key++, first});
  std::uint32_t left = room - first;
  items.push_back({key++, left + 16 * kMiB});
  *game1 = left + 16 * kMiB;
  for (key = 0x20000; left >= archive::kBatchedFileLimit; left -= archive::kBatchedFileLimit)
    items.push_back({key++, archive::kBatchedFileLimit});
  if (left > 0) items.push_back({key++, left});
  for (key = 0x30000; key < 0x30000 + 1000; ++key) items.push_back({key, 1024});
  *game1 += 1000 * 1024;
  for (std::uint32_t n = 0; n < 4; ++n) items.push_back({kFillerKeys + n, 4 * kMiB});
  *game1 += 16 * kMiB;
  items.push_back({0x40000, 64 * kMiB});
  *game1 += 64 * kMiB;
  return items;
}

bool writePackage(const fs::path& path, std::uint16_t version, const std::vector<Item>& items) {
  archive::PackageFileWriter writer;
  if (!archive::beginPackageFile(writer, path.string().c_str(), 0x5A, version, 1,
                                 static_cast<std::uint16_t>(items.size())))
    return false;
  for (const Item& item : items) {
    auto fill = [&item](std::uint64_t from, char* out, std::size_t length) {
      fillPattern(item.key, from, out, length);
    };
    if (!archive::addPackageItem(writer, item.key, "", item.size, fill)) return false;
  }
  return archive::finishPackageFile(writer);
}

int usage() {
  std::fprintf(stderr, "usage: rollover_setup DIR [--version N] [--room BYTES]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  fs::path dir = argv[1];
  unsigned long version = 100, room = 160ul * kMiB;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 >= argc) return usage();
    if (std::strcmp(argv[i], "--version") == 0) {
      version = std::strtoul(argv[i + 1], nullptr, 10);
    } else if (std::strcmp(argv[i], "--room") == 0) {
      room = std::strtoul(argv[i + 1], nullptr, 10);
    } else {
      return usage();
    }
  }
  // Room for the first item and some batches, and few enough 64 KiB items
  // for one package (at most 65535 items).
  if (version == 0 || version >= 0xFFFF || room < 8 * kMiB || room > 1024ul * kMiB) {
    std::fprintf(stderr, "rollover_setup: --version 1 to 65534, --room 8 MiB to 1 GiB\n");
    return 2;
  }
  std::uint32_t filled = archive::kArchiveSizeLimit - static_cast<std::uint32_t>(room);
  std::uint64_t game1 = 0;
  std::vector<Item> items = packageItems(static_cast<std::uint32_t>(room), &game1);
  if (!writeBase(dir / "base", static_cast<std::uint32_t>(version), filled)) {
    std::fprintf(stderr, "rollover_setup: cannot write %s\n", (dir / "base").string().c_str());
    return 1;
  }
  if (!writePackage(dir / "package.dat", static_cast<std::uint16_t>(version + 1), items)) {
    std::fprintf(stderr, "rollover_setup: cannot write %s\n", (dir / "package.dat").string().c_str());
    return 1;
  }
  std::uint64_t bytes = 0;
  for (const Item& item : items) bytes += item.size;
  std::printf("base: GAME0.VFS %u bytes (%lu bytes below the limit %u), version %lu\n", filled, room,
              archive::kArchiveSizeLimit, version);
  std::printf("package: version %lu, %zu items, %llu bytes of data\n", version + 1, items.size(),
              static_cast<unsigned long long>(bytes));
  std::printf("expect: GAME0.VFS %u GAME1.VFS %llu\n", archive::kArchiveSizeLimit,
              static_cast<unsigned long long>(game1));
  return 0;
}
