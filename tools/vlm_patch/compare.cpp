#include "tools/vlm_patch/compare.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/vlm_patch/progress.h"
#include "tools/vlm_patch/range_reader.h"

namespace vlmpatch {

namespace {

constexpr std::size_t kPiece = 1u << 20;

void addDifference(TreeComparison* result, const std::string& line) {
  if (result->differences.size() < kListedDifferences) result->differences.push_back(line);
  ++result->total;
}

// Copies the bytes [offset, offset + length) out of the reader's file.
bool readRangeInto(RangeReader& reader, std::uint64_t offset, std::size_t length, unsigned char* out) {
  return visitRange(reader, offset, length, [&out](const unsigned char* bytes, std::size_t n) {
    std::memcpy(out, bytes, n);
    out += n;
  });
}

// The keys of a that b lacks or holds otherwise. a is read in archive order;
// b is read where its entries lie, through one reader per archive, which
// stays sequential when b's layout follows a's.
bool compareKeysOneWay(const InstallTree& a, const InstallTree& b, const char* aName, const char* bName,
                       bool compareBytes, TreeComparison* result, std::string* error, ProgressBar& bar,
                       std::uint64_t& done) {
  std::vector<RangeReader> bReaders(b.index.archives.size());
  std::vector<bool> bOpened(b.index.archives.size(), false);
  auto closeAll = [&bReaders] {
    for (RangeReader& r : bReaders) closeRangeReader(r);
  };
  RangeReader aReader;
  std::unique_ptr<unsigned char[]> bBytes(new unsigned char[kPiece]);
  for (std::size_t archive = 0; archive < a.index.archives.size(); ++archive) {
    const archive::Archive& aArchive = *a.index.archives[archive]->archive;
    std::vector<std::uint32_t> order;
    for (std::size_t n = 0; n < aArchive.entries.size(); ++n)
      if (!archive::isRemoved(aArchive, n)) order.push_back(static_cast<std::uint32_t>(n));
    const std::vector<archive::FileEntry>& entries = aArchive.entries;
    std::stable_sort(order.begin(), order.end(),
                     [&entries](std::uint32_t x, std::uint32_t y) { return entries[x].offset < entries[y].offset; });
    bool aOpen = false;
    for (std::uint32_t n : order) {
      const archive::FileEntry& e = entries[n];
      archive::EntryLocation at;
      if (!archive::keyMapFind(b.index.keyIndex, e.key, &at)) {
        addDifference(result, "key " + hexKey(e.key) + " only in " + aName);
        continue;
      }
      if (!compareBytes) continue;
      const archive::Archive& bArchive = *b.index.archives[at.archive]->archive;
      const archive::FileEntry& other = bArchive.entries[at.entry];
      if (other.size != e.size) {
        addDifference(result, "key " + hexKey(e.key) + ": " + std::to_string(e.size) + " bytes in " + aName + ", " +
                                  std::to_string(other.size) + " in " + bName);
        continue;
      }
      std::string aPath = treePath(a, aArchive.name), bPath = treePath(b, bArchive.name);
      if (!aOpen && !openRangeReader(aReader, aPath)) {
        *error = "cannot read " + aPath;
        closeAll();
        return false;
      }
      aOpen = true;
      if (!bOpened[at.archive] && !openRangeReader(bReaders[at.archive], bPath)) {
        *error = "cannot read " + bPath;
        closeRangeReader(aReader);
        closeAll();
        return false;
      }
      bOpened[at.archive] = true;
      bool same = true, read = true;
      std::uint64_t from = 0;
      bool visited = visitRange(aReader, e.offset, e.size, [&](const unsigned char* bytes, std::size_t length) {
        for (std::size_t pos = 0; read && same && pos < length;) {
          std::size_t piece = std::min(length - pos, kPiece);
          read =
              readRangeInto(bReaders[at.archive], static_cast<std::uint64_t>(other.offset) + from, piece, bBytes.get());
          same = read && std::memcmp(bytes + pos, bBytes.get(), piece) == 0;
          pos += piece;
          from += piece;
        }
      });
      if (!visited || !read) {
        *error = "cannot read the bytes of key " + hexKey(e.key) + " from " + aPath + " or " + bPath;
        closeRangeReader(aReader);
        closeAll();
        return false;
      }
      if (!same) addDifference(result, "key " + hexKey(e.key) + " holds other bytes in " + bName);
      done += e.size;
      showProgress(bar, done);
    }
    closeRangeReader(aReader);
  }
  closeAll();
  return true;
}

bool compareLooseFiles(const InstallTree& a, const InstallTree& b, TreeComparison* result, std::string* error) {
  std::size_t i = 0, j = 0;
  const std::vector<LooseFile>& as = a.looseFiles;
  const std::vector<LooseFile>& bs = b.looseFiles;
  while (i < as.size() || j < bs.size()) {
    if (j == bs.size() || (i < as.size() && as[i].name < bs[j].name)) {
      addDifference(result, "file " + as[i++].name + " only in " + a.named);
    } else if (i == as.size() || bs[j].name < as[i].name) {
      addDifference(result, "file " + bs[j++].name + " only in " + b.named);
    } else {
      bool same = as[i].size == bs[j].size;
      if (same && !filesHoldSameBytes(treePath(a, as[i].name), treePath(b, bs[j].name), as[i].size, &same, error))
        return false;
      if (!same) addDifference(result, "file " + as[i].name + " holds other bytes");
      ++i;
      ++j;
    }
  }
  return true;
}

}  // namespace

bool filesHoldSameBytes(const std::string& pathA, const std::string& pathB, std::uint64_t size, bool* same,
                        std::string* error) {
  platform::File fa(platform::openFileForReading(pathA.c_str()));
  platform::File fb(platform::openFileForReading(pathB.c_str()));
  std::unique_ptr<unsigned char[]> ba(new unsigned char[kPiece]), bb(new unsigned char[kPiece]);
  bool read = fa && fb;
  *same = true;
  for (std::uint64_t at = 0; read && *same && at < size;) {
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, kPiece));
    read = platform::readFileAt(fa.get(), at, ba.get(), piece) == static_cast<std::int64_t>(piece) &&
           platform::readFileAt(fb.get(), at, bb.get(), piece) == static_cast<std::int64_t>(piece);
    *same = read && std::memcmp(ba.get(), bb.get(), piece) == 0;
    at += piece;
  }
  if (!read) *error = "cannot read " + pathA + " or " + pathB + " whole";
  return read;
}

bool compareTrees(const InstallTree& a, const InstallTree& b, TreeComparison* result, std::string* error) {
  *result = TreeComparison();
  if (a.index.baseVersion != b.index.baseVersion)
    addDifference(result, "version " + std::to_string(a.index.baseVersion) + " in " + a.named + ", " +
                              std::to_string(b.index.baseVersion) + " in " + b.named);
  std::uint64_t total = 0, done = 0;
  for (const auto& slot : a.index.archives)
    for (const archive::FileEntry& e : slot->archive->entries) total += e.size;
  ProgressBar bar = startProgress("comparing keys", total);
  // Both ways for keys present on one side only; the bytes once.
  bool ok = compareKeysOneWay(a, b, a.named.c_str(), b.named.c_str(), true, result, error, bar, done) &&
            compareKeysOneWay(b, a, b.named.c_str(), a.named.c_str(), false, result, error, bar, done);
  if (ok) finishProgress(bar);
  return ok && compareLooseFiles(a, b, result, error);
}

}  // namespace vlmpatch
