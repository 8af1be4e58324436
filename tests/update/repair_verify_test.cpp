// Verifying an installation against a content list: a real installation in
// a temporary directory (archives, loose files, a data.idx written by the
// index writer and loaded by the archive layer), damaged one way per case;
// each case checks exactly which items come out damaged, why, and which
// packs hold them, with one worker and with several.
#include "update/repair_verify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "platform/crypto.h"
#include "support/temp_dir.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using namespace update;

Sha256Digest sha256(const std::string& bytes) {
  Sha256Digest digest;
  EXPECT_TRUE(platform::sha256Of(bytes.data(), bytes.size(), digest.data()));
  return digest;
}

std::string bytesOf(std::uint32_t seed, std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((seed * 131 + i * 7 + (i >> 8)) & 0xFF);
  return bytes;
}

// The installation as written: the index's archives and the loose files,
// and the content list of the release it is an intact copy of.
struct Install {
  std::vector<archive::IndexArchiveSpec> archives;
  std::vector<std::pair<std::string, std::string>> files;  // name, bytes
  ContentList list;

  void writeIndex() const { ASSERT_TRUE(archive::writeIndexFile("data.idx", 7, archives).ok()); }
  archive::FileEntry& entry(std::uint32_t key) {
    for (auto& spec : archives)
      for (auto& e : spec.entries)
        if (e.key == key) return e;
    throw std::logic_error("no such key");
  }
};

// Three archives: keys 1..4 in GAME0.VFS (pack 0), 5..7 in GAME1.VFS (pack
// 1), 8 in GAME2.VFS (pack 2), with a stale gap in GAME0.VFS; two loose
// files, one in a directory (packs 3 and 4).
Install writeInstall() {
  Install install;
  std::uint32_t key = 1;
  const std::vector<std::vector<std::size_t>> sizes = {{10, 0, 3000, 70000}, {5000, 1, 200000}, {4096}};
  for (std::size_t a = 0; a < sizes.size(); ++a) {
    archive::IndexArchiveSpec spec;
    spec.name = "GAME" + std::to_string(a) + ".VFS";
    std::string file;
    for (std::size_t size : sizes[a]) {
      if (a == 0 && key == 3) file += bytesOf(99, 123);  // a replaced file's bytes, unreferenced
      std::string bytes = bytesOf(key, size);
      spec.entries.push_back({key, static_cast<std::uint32_t>(file.size()), static_cast<std::uint32_t>(size)});
      install.list.keys.push_back(
          {key, static_cast<std::uint32_t>(size), sha256(bytes), static_cast<std::uint32_t>(a)});
      file += bytes;
      ++key;
    }
    writeWholeFile(spec.name, file);
    install.archives.push_back(spec);
  }
  fs::create_directory("data");
  install.files = {{"Lumenfall.cfg", bytesOf(50, 777)}, {"data\\sound.pak", bytesOf(51, 300000)}};
  for (std::size_t f = 0; f < install.files.size(); ++f) {
    const auto& [name, bytes] = install.files[f];
    writeWholeFile(fs::path(platform::nativePath(name.c_str())).string(), bytes);
    install.list.files.push_back({name, bytes.size(), sha256(bytes), static_cast<std::uint32_t>(3 + f)});
  }
  install.writeIndex();
  return install;
}

void flipByteAt(const std::string& path, std::uint64_t offset) {
  std::string bytes = readWholeFile(path);
  bytes.at(offset) ^= 0x20;
  writeWholeFile(path, bytes);
}

// What a case expects: the damaged items, named "key 6" or by the file's
// name, each with a part of its reason.
struct Expected {
  std::string item;
  std::string reason;
};

struct Case {
  const char* name;
  std::function<void(Install&)> damage;
  std::vector<Expected> damaged;
  std::vector<std::uint32_t> packs;
};

// gtest prints a case by its name rather than its bytes.
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

std::string itemName(const DamagedItem& item) { return item.isKey ? "key " + std::to_string(item.key) : item.name; }

const std::vector<Case>& cases() {
  static const std::vector<Case> table = {
      {"Intact", [](Install&) {}, {}, {}},
      {"FlippedByteInAKey",
       [](Install& in) { flipByteAt("GAME1.VFS", in.entry(7).offset + 199999); },
       {{"key 7", "digest differs"}},
       {1}},
      {"FlippedByteInAStaleGapIsNoDamage", [](Install&) { flipByteAt("GAME0.VFS", 10 + 5); }, {}, {}},
      {"TruncatedArchive",
       [](Install& in) { fs::resize_file("GAME1.VFS", in.entry(6).offset); },
       {{"key 6", "archive GAME1.VFS ends at 5000, before the key's bytes end at 5001"},
        {"key 7", "archive GAME1.VFS ends at 5000, before the key's bytes end at 205001"}},
       {1}},
      {"MissingArchive", [](Install&) { fs::remove("GAME2.VFS"); }, {{"key 8", "archive GAME2.VFS missing"}}, {2}},
      {"ArchiveIsADirectory",
       [](Install&) {
         fs::remove("GAME2.VFS");
         fs::create_directory("GAME2.VFS");
       },
       {{"key 8", "archive GAME2.VFS is a directory"}},
       {2}},
      {"KeyMissingFromTheIndex",
       [](Install& in) {
         auto& entries = in.archives[0].entries;
         entries.erase(entries.begin() + 2);  // key 3
         in.writeIndex();
       },
       {{"key 3", "missing from the index"}},
       {0}},
      {"KeyWithAnotherSize",
       [](Install& in) {
         in.entry(1).size = 12;
         in.writeIndex();
       },
       {{"key 1", "size 12, the release says 10"}},
       {0}},
      {"KeyPointingAtAnotherKeysBytes",
       [](Install& in) {
         in.entry(6).offset = in.entry(5).offset;  // key 6's one byte is then key 5's first
         in.writeIndex();
       },
       {{"key 6", "digest differs"}},
       {1}},
      {"KeyBeyondFourGiB",
       [](Install& in) {
         in.entry(4).offset = 0xFFFFFFF0u;
         in.writeIndex();
       },
       {{"key 4", "archive GAME0.VFS ends at 73133, before the key's bytes end at 4295037280"}},
       {0}},
      {"DeletedAndChangedLooseFiles",
       [](Install&) {
         fs::remove("Lumenfall.cfg");
         flipByteAt("data/sound.pak", 123456);
       },
       {{"Lumenfall.cfg", "file missing"}, {"data\\sound.pak", "digest differs"}},
       {3, 4}},
      {"LooseFileOfAnotherSize",
       [](Install&) { writeWholeFile("Lumenfall.cfg", bytesOf(50, 778)); },
       {{"Lumenfall.cfg", "size 778, the release says 777"}},
       {3}},
      {"LooseFileReplacedByADirectory",
       [](Install&) {
         fs::remove("Lumenfall.cfg");
         fs::create_directory("Lumenfall.cfg");
       },
       {{"Lumenfall.cfg", "is a directory"}},
       {3}},
      {"DirectoryOfALooseFileMissing",
       [](Install&) { fs::remove_all("data"); },
       {{"data\\sound.pak", "file missing"}},
       {4}},
      {"IndexUnreadable",
       [](Install&) { writeWholeFile("data.idx", "\x07"); },
       {{"key 1", "the index cannot be read"},
        {"key 2", "the index cannot be read"},
        {"key 3", "the index cannot be read"},
        {"key 4", "the index cannot be read"},
        {"key 5", "the index cannot be read"},
        {"key 6", "the index cannot be read"},
        {"key 7", "the index cannot be read"},
        {"key 8", "the index cannot be read"}},
       {0, 1, 2}},
#ifndef _WIN32
      // Links: each one points at an intact copy, so that only refusing to
      // follow it can find the damage.
      {"LooseFileReplacedByALink",
       [](Install&) {
         fs::rename("Lumenfall.cfg", "copy.cfg");
         fs::create_symlink("copy.cfg", "Lumenfall.cfg");
       },
       {{"Lumenfall.cfg", "is a link"}},
       {3}},
      {"DirectoryOfALooseFileReplacedByALink",
       [](Install&) {
         fs::rename("data", "elsewhere");
         fs::create_directory_symlink("elsewhere", "data");
       },
       {{"data\\sound.pak", "is a link"}},
       {4}},
      {"ArchiveReplacedByALink",
       [](Install&) {
         fs::rename("GAME1.VFS", "copy.vfs");
         fs::create_symlink("copy.vfs", "GAME1.VFS");
       },
       {{"key 5", "archive GAME1.VFS is a link"},
        {"key 6", "archive GAME1.VFS is a link"},
        {"key 7", "archive GAME1.VFS is a link"}},
       {1}},
      {"LooseFileReplacedByAPipe",
       [](Install&) {
         fs::remove("Lumenfall.cfg");
         ASSERT_EQ(::mkfifo("Lumenfall.cfg", 0644), 0);
       },
       {{"Lumenfall.cfg", "is not a plain file"}},
       {3}},
#endif
  };
  return table;
}

struct Verified {
  VerifyOutcome outcome;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> progress;
};

// Loads the index as the launcher does and verifies with that many workers.
Verified verifyWith(const Install& install, unsigned workers) {
  Verified run;
  platform::Status loaded = archive::loadIndexWithReason();
  VerifyOptions options;
  options.workers = workers;
  options.progress = [&run](std::uint64_t done, std::uint64_t total) { run.progress.push_back({done, total}); };
  run.outcome = verifyInstallation(install.list, loaded.ok() ? &archive::archiveSet : nullptr, options);
  archive::closeArchiveSet(archive::archiveSet);
  archive::indexLoaded = false;
  return run;
}

class RepairVerify : public testing::TestWithParam<Case> {};

TEST_P(RepairVerify, FindsExactlyTheDamagedItemsAndTheirPacks) {
  const Case& c = GetParam();
  TempWorkDir dir;
  Install install = writeInstall();
  c.damage(install);
  for (unsigned workers : {1u, 3u}) {
    SCOPED_TRACE("workers " + std::to_string(workers));
    Verified run = verifyWith(install, workers);
    const VerifyOutcome& outcome = run.outcome;
    ASSERT_EQ(outcome.damaged.size(), c.damaged.size());
    for (std::size_t i = 0; i < c.damaged.size(); ++i) {
      EXPECT_EQ(itemName(outcome.damaged[i]), c.damaged[i].item);
      EXPECT_EQ(outcome.damaged[i].reason, c.damaged[i].reason) << itemName(outcome.damaged[i]);
    }
    EXPECT_EQ(outcome.packs, c.packs);
    // Every listed byte not ruled out before reading is hashed exactly once
    // when the installation is intact.
    if (c.damaged.empty()) {
      std::uint64_t listed = 0;
      for (const auto& key : install.list.keys) listed += key.size;
      for (const auto& file : install.list.files) listed += file.size;
      EXPECT_EQ(outcome.bytesVerified, listed);
      EXPECT_EQ(outcome.bytesToVerify, listed);
    }
    ASSERT_FALSE(run.progress.empty());
    EXPECT_EQ(run.progress.front().first, 0u);
    EXPECT_EQ(run.progress.back().first, outcome.bytesToVerify);
    EXPECT_LE(run.progress.size(), 258u);
    for (std::size_t i = 0; i < run.progress.size(); ++i) {
      EXPECT_EQ(run.progress[i].second, outcome.bytesToVerify);
      if (i > 0) {
        EXPECT_GE(run.progress[i].first, run.progress[i - 1].first);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RepairVerify, testing::ValuesIn(cases()),
                         [](const testing::TestParamInfo<Case>& row) { return std::string(row.param.name); });

// An archive of more keys than one worker's part takes: every part is read,
// and a damaged key deep in a later part is found alone.
TEST(RepairVerifyLargeArchive, ReadsEveryPartOfAnArchive) {
  TempWorkDir dir;
  constexpr std::uint32_t kKeys = 150000;
  archive::IndexArchiveSpec spec{"GAME0.VFS", {}};
  ContentList list;
  std::string file;
  for (std::uint32_t k = 0; k < kKeys; ++k) {
    std::string bytes = bytesOf(k, 3);
    // Listed in reverse offset order: the verifier sorts them itself.
    spec.entries.push_back({k, static_cast<std::uint32_t>(file.size()), 3});
    list.keys.push_back({k, 3, sha256(bytes), k / 1000});
    file += bytes;
  }
  std::reverse(spec.entries.begin(), spec.entries.end());
  file[3 * 140001 + 1] ^= 1;
  writeWholeFile("GAME0.VFS", file);
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 7, {spec}).ok());
  Install install;
  install.list = list;
  Verified run = verifyWith(install, 2);
  ASSERT_EQ(run.outcome.damaged.size(), 1u);
  EXPECT_EQ(run.outcome.damaged[0].key, 140001u);
  EXPECT_EQ(run.outcome.damaged[0].reason, "digest differs");
  EXPECT_EQ(run.outcome.packs, std::vector<std::uint32_t>{140});
  EXPECT_EQ(run.outcome.bytesVerified, 3u * kKeys);
}

}  // namespace
