// Speed and memory of `vlm-patch diff`, beside its yardstick:
//
//   two installations of 1,000,000 entries in 20 archives each (entries of 1
//   to 4,096 bytes, about 2 GiB a side; --max-entry makes them larger), where
//   NEW holds the same keys as OLD laid out in another order (a release the
//   studio packed afresh) and 1% of them changed (half in place, half with
//   another size);
//   yardstick: reading every archive file of both installations once,
//   sequentially, in 1 MiB reads;
//   goal: diff takes at most 1.3 times the yardstick, and its peak memory,
//   measured in a child process that does nothing else, stays under 256 MiB.
//
// Both are timed twice: warm, with the archives in the system's file cache
// (the yardstick is then a copy from memory), and cold, with the archives
// dropped from the cache before each timing, as a release much larger than
// the memory is read (Linux only: the files are flushed and dropped with
// posix_fadvise).
//
// The diff's packages are checked too: they must store exactly the changed
// keys. It builds for both targets, so the 32-bit Windows process can be
// measured under Wine.
//
// Usage: diff_bench [--scale=F] [--max-entry=BYTES] [--max-patch-size=SIZE] [--dir=PATH] [--runs=N]
//                   [--keep]
//   --scale      multiplies the entry count (0.01 runs in seconds); default 1
//   --max-entry  the largest entry, 1 to 1048576 bytes; sizes run from 1 to
//                it, so the data grows with it; default 4096
//   --max-patch-size  diff's own option (64M, 256K, ...): a small one cuts
//                the changed keys into many packages; default diff's
//   --dir        where the files go (a fresh subdirectory, removed at the end)
//   --runs       repetitions; the medians are printed; default 3
//   --keep       leaves the subdirectory (old/, new/, out/) in place
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "archive/patch_package.h"
#include "bench/child_process.h"
#include "platform/executable.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/diff_packages.h"
#include "tools/vlm_patch/options.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

struct Options {
  double scale = 1.0;
  std::uint32_t maxEntry = 4096;
  std::string maxPatch;  // diff's --max-patch-size, or "" for its default
  std::uint64_t maxPatchBytes = vlmpatch::kDefaultMaxPatchBytes;
  std::string dir = fs::temp_directory_path().string();
  int runs = 3;
  bool keep = false;  // leave the installations in place for a closer look
};

constexpr int kArchives = 20;
constexpr std::size_t kPool = 16u << 20;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Entry i of the release: a key spread over 32 bits (a bijection of i), a
// size from 1 to maxEntry and bytes cut from a random pool.
struct Release {
  std::vector<unsigned char> pool;
  std::size_t entries = 0;
  std::uint32_t maxEntry = 4096;
};

std::uint32_t keyOf(std::size_t i) { return static_cast<std::uint32_t>(i) * 2654435761u; }
std::uint32_t sizeOf(const Release& release, std::size_t i) {
  return 1 + (static_cast<std::uint32_t>(i) * 40503u >> 4) % release.maxEntry;
}
bool isChanged(std::size_t i) { return (static_cast<std::uint32_t>(i) * 2246822519u >> 8) % 100 == 0; }

// The entry's bytes in OLD, or in NEW (changed ones differ in a byte, every
// other one also in size).
void entryBytes(const Release& release, std::size_t i, bool inNew, std::vector<unsigned char>* out) {
  std::uint32_t size = sizeOf(release, i);
  bool changed = inNew && isChanged(i);
  if (changed && i % 2) size = size % release.maxEntry + 1;
  std::size_t start = (i * 7919) % (kPool - release.maxEntry);
  out->assign(release.pool.begin() + static_cast<std::ptrdiff_t>(start),
              release.pool.begin() + static_cast<std::ptrdiff_t>(start + size));
  if (changed) (*out)[i % size] ^= 0x5A;
}

// OLD's version; NEW's is the number of the last key package the diff
// writes, as diff demands (tools/vlm_patch/diff_numbering.h).
constexpr std::uint32_t kOldVersion = 1;

// How many packages the changed keys take, stored in NEW's order: diff's
// own cut.
std::uint32_t keyPackagesOf(const Release& release, const std::vector<std::size_t>& newOrder,
                            std::uint64_t maxPatchBytes) {
  std::vector<std::uint64_t> sizes;
  for (std::size_t i : newOrder)
    if (isChanged(i)) {
      std::uint32_t size = sizeOf(release, i);
      if (i % 2) size = size % release.maxEntry + 1;  // as entryBytes changes it
      sizes.push_back(vlmpatch::itemBytes(1, 0, size));
    }
  return static_cast<std::uint32_t>(
      vlmpatch::splitItems(sizes, vlmpatch::kMaxPackageItems, vlmpatch::packageBytesWithin(maxPatchBytes)).size());
}

// Writes one installation at that version: the entries in `order`, cut into
// 20 archives.
bool writeInstallation(const Release& release, const std::string& dir, bool inNew,
                       const std::vector<std::size_t>& order, std::uint32_t version) {
  fs::create_directories(dir);
  std::vector<archive::IndexArchiveSpec> archives(kArchives);
  std::vector<unsigned char> bytes, buffer;
  for (int a = 0; a < kArchives; ++a) {
    archives[a].name = "GAME" + std::to_string(a) + ".VFS";
    platform::FileHandle file = platform::createFile((dir + "/" + archives[a].name).c_str());
    if (file == platform::kNoFile) return false;
    std::uint64_t offset = 0, flushed = 0;
    std::size_t from = order.size() * static_cast<std::size_t>(a) / kArchives;
    std::size_t to = order.size() * static_cast<std::size_t>(a + 1) / kArchives;
    for (std::size_t p = from; p < to; ++p) {
      entryBytes(release, order[p], inNew, &bytes);
      archives[a].entries.push_back(
          {keyOf(order[p]), static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(bytes.size())});
      buffer.insert(buffer.end(), bytes.begin(), bytes.end());
      offset += bytes.size();
      if (buffer.size() >= (1u << 20) || p + 1 == to) {
        if (!platform::writeFileAt(file, flushed, buffer.data(), buffer.size())) return false;
        flushed += buffer.size();
        buffer.clear();
      }
    }
    platform::closeFile(file);
  }
  return archive::writeIndexFile((dir + "/data.idx").c_str(), version, archives).ok();
}

// The yardstick: every archive file of both installations read once.
double readBoth(std::uint64_t* bytes) {
  std::vector<char> buffer(1u << 20);
  *bytes = 0;
  double start = now();
  for (const char* side : {"old", "new"}) {
    for (int a = 0; a < kArchives; ++a) {
      std::string path = std::string(side) + "/GAME" + std::to_string(a) + ".VFS";
      platform::FileHandle file = platform::openFileForReading(path.c_str());
      for (std::uint64_t offset = 0;;) {
        std::int64_t n = platform::readFileAt(file, offset, buffer.data(), buffer.size());
        if (n <= 0) break;
        offset += static_cast<std::uint64_t>(n);
      }
      std::uint64_t size = 0;
      if (platform::getFileSize(file, &size)) *bytes += size;
      platform::closeFile(file);
    }
  }
  return now() - start;
}

// Drops both installations' archives from the file cache; false where the
// system offers no way to.
bool dropFromCache() {
#if defined(_WIN32)
  return false;
#else
  for (const char* side : {"old", "new"}) {
    for (int a = 0; a < kArchives; ++a) {
      std::string path = std::string(side) + "/GAME" + std::to_string(a) + ".VFS";
      int fd = ::open(path.c_str(), O_RDONLY);
      if (fd < 0) return false;
      bool dropped = ::fdatasync(fd) == 0 && ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0;
      ::close(fd);
      if (!dropped) return false;
    }
  }
  return true;
#endif
}

// The keys the packages in out store, and whether they are exactly the changed ones.
bool packagesStoreTheChangedKeys(std::size_t entries, std::size_t* stored) {
  std::vector<std::uint32_t> keys, expected;
  for (const auto& item : fs::directory_iterator("out")) {
    archive::PatchPackage package;
    if (!archive::loadPatchPackageReadOnly(package, item.path().string().c_str())) return false;
    if (package.type == 1)
      for (const archive::PatchItem& i : package.items) keys.push_back(i.key);
    archive::closePatchPackage(package);
  }
  for (std::size_t i = 0; i < entries; ++i)
    if (isChanged(i)) expected.push_back(keyOf(i));
  std::sort(keys.begin(), keys.end());
  std::sort(expected.begin(), expected.end());
  *stored = keys.size();
  return keys == expected;
}

constexpr const char* kChildDiff = "--child-diff";

// The child: one diff, with --max-patch-size when given, nothing else. What the diff prints goes to a file
// (diff-output.txt, kept for a look), so the figures stay readable.
int childDiff(const char* maxPatch) {
  platform::preferLargePagesForHeap(vlmpatch::kToolHeapBytes);  // as vlm-patch's own start does
  if (!std::freopen("diff-output.txt", "w", stdout)) return 1;
  vlmpatch::Args args = {"old", "new", "-o", "out"};
  if (maxPatch) args.insert(args.end(), {"--max-patch-size", maxPatch});
  return vlmpatch::runDiff(args);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if ((argc == 2 || argc == 3) && std::strcmp(argv[1], kChildDiff) == 0)
    return childDiff(argc == 3 ? argv[2] : nullptr);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--scale=", 0) == 0) {
      options.scale = std::atof(arg.c_str() + 8);
    } else if (arg.rfind("--max-entry=", 0) == 0) {
      options.maxEntry = static_cast<std::uint32_t>(std::min(std::max(std::atol(arg.c_str() + 12), 1L), 1L << 20));
    } else if (arg.rfind("--dir=", 0) == 0) {
      options.dir = arg.substr(6);
    } else if (arg.rfind("--runs=", 0) == 0) {
      options.runs = std::max(1, std::atoi(arg.c_str() + 7));
    } else if (arg.rfind("--max-patch-size=", 0) == 0) {
      options.maxPatch = arg.substr(17);
      if (!vlmpatch::parseByteSize(options.maxPatch, vlmpatch::kLeastMaxPatchBytes, vlmpatch::kMostMaxPatchBytes,
                                   &options.maxPatchBytes)) {
        std::fprintf(stderr, "--max-patch-size takes what diff takes (1K to 2G)\n");
        return 2;
      }
    } else if (arg == "--keep") {
      options.keep = true;
    } else {
      std::fprintf(
          stderr,
          "usage: %s [--scale=F] [--max-entry=BYTES] [--max-patch-size=SIZE] [--dir=PATH] [--runs=N] [--keep]\n",
          argv[0]);
      return 2;
    }
  }
  fs::path work = fs::path(options.dir) / ("diff-bench-" + std::to_string(std::random_device()()));
  fs::create_directories(work);
  fs::current_path(work);
  std::printf("diff_bench: scale %g, %d run(s), --max-patch-size %s, in %s\n", options.scale, options.runs,
              options.maxPatch.empty() ? "diff's default" : options.maxPatch.c_str(), work.string().c_str());
  std::printf("pointer size %zu bits\n", sizeof(void*) * 8);

  Release release;
  release.entries = std::max<std::size_t>(kArchives, static_cast<std::size_t>(1000000 * options.scale + 0.5));
  release.maxEntry = options.maxEntry;
  release.pool.resize(kPool);
  std::mt19937 random(42);
  for (unsigned char& b : release.pool) b = static_cast<unsigned char>(random());
  std::vector<std::size_t> order(release.entries);
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  double start = now();
  bool written = writeInstallation(release, "old", false, order, kOldVersion);
  std::shuffle(order.begin(), order.end(), random);
  std::uint32_t packages = keyPackagesOf(release, order, options.maxPatchBytes);
  written = written && writeInstallation(release, "new", true, order, kOldVersion + packages);
  if (!written) {
    std::printf("could not write the installations\n");
    return 1;
  }
  std::size_t changed = 0;
  for (std::size_t i = 0; i < release.entries; ++i) changed += isChanged(i) ? 1 : 0;
  std::uint64_t bytes = 0;
  readBoth(&bytes);  // once to warm the cache, as diff will find it
  std::printf(
      "installations: %zu entries in %d archives each, %zu changed (%u packages), %.0f MiB in all (written in %.1f "
      "s)\n",
      release.entries, kArchives, changed, packages, bytes / 1048576.0, now() - start);
  std::fflush(stdout);

  // One timing of the diff, in a child process; its result checked.
  std::uint64_t peak = 0;
  bool allRight = true;
  std::size_t stored = 0;
  auto timeDiff = [&](const char* how, int run) {
    fs::remove_all("out");
    double began = now();
    bench::ChildResult child = bench::runChild(
        platform::executablePath(), options.maxPatch.empty() ? std::vector<std::string>{kChildDiff}
                                                             : std::vector<std::string>{kChildDiff, options.maxPatch});
    double took = now() - began;
    peak = std::max(peak, child.peakBytes);
    bool right = child.started && child.exitCode == 0 && packagesStoreTheChangedKeys(release.entries, &stored);
    if (!right) std::printf("  %s run %d: diff FAILED or stored the wrong keys\n", how, run + 1);
    allRight = allRight && right;
    return took;
  };
  std::vector<double> warmRead, warmDiff, coldRead, coldDiff;
  bool cold = true;
  for (int run = 0; run < options.runs; ++run) {
    warmRead.push_back(readBoth(&bytes));
    warmDiff.push_back(timeDiff("warm", run));
    cold = cold && dropFromCache();
    if (!cold) continue;
    coldRead.push_back(readBoth(&bytes));
    cold = dropFromCache();
    if (cold) coldDiff.push_back(timeDiff("cold", run));
  }
  double read = median(warmRead), diff = median(warmDiff);
  std::printf("warm (archives in the file cache)\n");
  std::printf("  reading both installations' archives  median %8.3f s  (%.0f MiB/s)\n", read, bytes / read / 1048576.0);
  std::printf("  vlm-patch diff                        median %8.3f s  (%zu keys stored)\n", diff, stored);
  std::printf("  ratio diff / read   %.2f  (goal <= 1.30)\n", diff / read);
  if (cold && !coldDiff.empty()) {
    read = median(coldRead);
    diff = median(coldDiff);
    std::printf("cold (archives dropped from the file cache before each timing)\n");
    std::printf("  reading both installations' archives  median %8.3f s  (%.0f MiB/s)\n", read,
                bytes / read / 1048576.0);
    std::printf("  vlm-patch diff                        median %8.3f s\n", diff);
    std::printf("  ratio diff / read   %.2f  (goal <= 1.30)\n", diff / read);
  } else {
    std::printf("cold: not measured (the archives cannot be dropped from the file cache here)\n");
  }
  std::printf("peak memory of the diff  %8.1f MiB  (goal < 256 MiB)\n", peak / 1048576.0);
  std::printf("packages %s\n", allRight ? "store exactly the changed keys" : "WRONG");
  fs::current_path(work.parent_path());
  if (!options.keep) fs::remove_all(work);
  return allRight ? 0 : 1;
}
