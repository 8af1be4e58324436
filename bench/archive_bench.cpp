// Speed and memory of the archive subsystem, each figure beside its yardstick:
//
//  1. large items: applying a type-1 package of 256 items of 4 MiB (1 GiB)
//     against copying the same bytes with a plain buffered copy that ends
//     with the same flush to disk;
//  2. many small items: 100,000 items of 1 KiB (half of them replacing keys
//     already present) applied over an index of 1,000,000 entries in 20
//     archives, against one loadIndex plus one saveIndex of that index. A
//     package holds at most 65535 items, so the items come as two packages
//     of 50,000;
//  3. loadIndex and saveIndex of the 1,000,000-entry index on their own;
//  4. memory: peak RSS while applying a package of 512 items of 4 MiB
//     (2 GiB), measured in a child process that does nothing else;
//  5. quick: the quick check of an installation (archive/quick_check.h) with
//     the 1,000,000-entry index: read from data.idx and checked, and checked
//     on the loaded set alone, as the launcher does at start; goal 1 s.
//
// It builds for both targets: the Windows tree's archive_bench.exe runs the
// same cases in a 32-bit process under Wine.
//
// Usage: archive_bench [--scale=F] [--dir=PATH] [--runs=N] [--only=CASE]
//   --scale  multiplies every size (0.01 runs in seconds); default 1
//   --dir    where the files go (a fresh subdirectory, removed at the end)
//   --runs   repetitions of each timed case; the median is printed; default 3
//   --only   memory, large, small or quick: that case alone
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
#include "archive/package_writer.h"
#include "archive/patch_apply.h"
#include "archive/quick_check.h"
#include "bench/child_process.h"
#include "platform/executable.h"
#include "platform/file.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  double scale = 1.0;
  std::string dir = fs::temp_directory_path().string();
  int runs = 3;
  std::string only;  // "memory", "large", "small" or "quick": run that case alone
};

constexpr std::uint32_t kLargeItem = 4u << 20;
constexpr std::size_t kSmallItem = 1024;
constexpr int kSmallArchives = 20;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::size_t scaled(double base, double scale) {
  double value = base * scale;
  return value < 1 ? 1 : static_cast<std::size_t>(value + 0.5);
}

void fillPattern(std::uint64_t from, char* out, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char>((from + i) * 2654435761u >> 24);
}

void startFresh(const std::string& dir) {
  archive::closeArchiveSet(archive::archiveSet);
  archive::indexLoaded = false;
  for (const auto& item : fs::directory_iterator(dir)) fs::remove_all(item.path());
}

bool writeKeyedPackage(const char* path, std::uint16_t version, const std::vector<std::uint32_t>& keys,
                       std::uint32_t itemSize) {
  archive::PackageFileWriter writer;
  if (!archive::beginPackageFile(writer, path, 0x5A, version, 1, static_cast<std::uint16_t>(keys.size()))) return false;
  for (std::uint32_t key : keys) {
    if (!archive::addPackageItem(writer, key, "", itemSize, fillPattern)) return false;
  }
  return archive::finishPackageFile(writer);
}

// A plain copy: read and write through 1 MiB buffers, then flush to disk,
// with the same file calls the archive code uses.
bool plainCopy(const char* from, const char* to) {
  platform::FileHandle in = platform::openFileForReading(from);
  platform::FileHandle out = platform::createFile(to);
  bool ok = in != platform::kNoFile && out != platform::kNoFile;
  std::vector<char> buffer(1 << 20);
  for (std::uint64_t offset = 0; ok;) {
    std::int64_t n = platform::readFileAt(in, offset, buffer.data(), buffer.size());
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = platform::writeFileAt(out, offset, buffer.data(), static_cast<std::size_t>(n)).ok();
    offset += static_cast<std::uint64_t>(n);
  }
  ok = ok && platform::flushFileToDisk(out);
  if (in != platform::kNoFile) platform::closeFile(in);
  if (out != platform::kNoFile) platform::closeFile(out);
  return ok;
}

void largeItems(const Options& options) {
  std::size_t items = scaled(256, options.scale);
  std::vector<std::uint32_t> keys(items);
  for (std::size_t i = 0; i < items; ++i) keys[i] = static_cast<std::uint32_t>(i + 1);
  std::vector<double> copyTimes, applyTimes;
  for (int run = 0; run < options.runs; ++run) {
    startFresh(options.dir);
    static_cast<void>(archive::writeIndexFile("data.idx", 1, {}));
    if (!writeKeyedPackage("large.dat", 2, keys, kLargeItem)) std::exit(1);
    double start = now();
    if (!plainCopy("large.dat", "copy.bin")) std::printf("  copy FAILED\n");
    copyTimes.push_back(now() - start);
    fs::remove("copy.bin");
    archive::loadIndex();
    start = now();
    bool ok = archive::applyPatchPackage("large.dat");
    applyTimes.push_back(now() - start);
    if (!ok) std::printf("  apply FAILED\n");
  }
  double bytes = static_cast<double>(items) * kLargeItem;
  double copy = median(copyTimes), apply = median(applyTimes);
  std::printf("large items: %zu x 4 MiB = %.0f MiB\n", items, bytes / (1 << 20));
  std::printf("  plain copy + flush   median %8.3f s  (%.0f MiB/s)\n", copy, bytes / copy / (1 << 20));
  std::printf("  applyPatchPackage    median %8.3f s  (%.0f MiB/s)\n", apply, bytes / apply / (1 << 20));
  std::printf("  ratio apply / copy   %.2f  (goal <= 1.30)\n", apply / copy);
}

// Writes the 20 archives and the index of `entries` entries spread over them.
void writeLargeIndex(std::size_t entries) {
  std::vector<archive::IndexArchiveSpec> archives(kSmallArchives);
  std::string filler(64 << 10, 'a');
  for (int a = 0; a < kSmallArchives; ++a) {
    archives[a].name = "GAME" + std::to_string(a) + ".VFS";
    std::FILE* f = std::fopen(archives[a].name.c_str(), "wb");
    std::fwrite(filler.data(), 1, filler.size(), f);
    std::fclose(f);
  }
  for (std::size_t n = 0; n < entries; ++n) {
    archive::IndexArchiveSpec& archive = archives[n * kSmallArchives / entries];
    archive.entries.push_back({static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(n * 7), 1024});
  }
  static_cast<void>(archive::writeIndexFile("data.idx", 1, archives));
}

void smallItems(const Options& options) {
  std::size_t entries = scaled(1000000, options.scale);
  std::size_t items = scaled(100000, options.scale);
  std::vector<double> loadTimes, saveTimes, applyTimes;
  std::size_t finalEntries = 0;
  for (int run = 0; run < options.runs; ++run) {
    startFresh(options.dir);
    writeLargeIndex(entries);
    double start = now();
    archive::loadIndex();
    loadTimes.push_back(now() - start);
    start = now();
    if (!archive::saveIndex(archive::archiveSet).ok()) std::printf("  save FAILED\n");
    saveTimes.push_back(now() - start);

    // Half the items replace random keys already present, half are new.
    std::mt19937 random(1234 + run);
    std::vector<std::uint32_t> keys(items);
    for (std::size_t i = 0; i < items; ++i)
      keys[i] = i % 2 ? static_cast<std::uint32_t>(entries + i) : static_cast<std::uint32_t>(random() % entries);
    std::shuffle(keys.begin(), keys.end(), random);
    std::size_t perPackage = 50000;
    std::vector<std::string> packages;
    for (std::size_t from = 0, p = 0; from < items; from += perPackage, ++p) {
      std::vector<std::uint32_t> part(keys.begin() + from, keys.begin() + std::min(items, from + perPackage));
      packages.push_back("small" + std::to_string(p) + ".dat");
      if (!writeKeyedPackage(packages.back().c_str(), static_cast<std::uint16_t>(2 + p), part, kSmallItem))
        std::exit(1);
    }
    start = now();
    for (const std::string& package : packages) {
      if (!archive::applyPatchPackage(package.c_str())) std::printf("  apply FAILED\n");
    }
    applyTimes.push_back(now() - start);
    finalEntries = 0;
    for (auto& slot : archive::archiveSet.archives) finalEntries += archive::liveEntries(*slot->archive).size();
  }
  double load = median(loadTimes), save = median(saveTimes), apply = median(applyTimes);
  std::printf("index of %zu entries in %d archives (%.1f MiB)\n", entries, kSmallArchives,
              (5 + kSmallArchives * 14 + entries * 12.0) / (1 << 20));
  std::printf("  loadIndex            median %8.3f s\n", load);
  std::printf("  saveIndex            median %8.3f s\n", save);
  std::printf("small items: %zu x 1 KiB in %zu package(s), half replacing present keys\n", items,
              (items + 49999) / 50000);
  std::printf("  applyPatchPackage    median %8.3f s  (%zu entries after)\n", apply, finalEntries);
  std::printf("  ratio apply / (load + save)  %.2f  (goal <= 5.00)\n", apply / (load + save));
}

// The quick check over the 1,000,000-entry index, whose archives are made
// as long as their entries need (sparse where the system allows): the check
// must find a sound installation, so that it looks at every entry and
// every archive.
void quickCheck(const Options& options) {
  std::size_t entries = scaled(1000000, options.scale);
  startFresh(options.dir);
  writeLargeIndex(entries);
  archive::QuickCheckResult first = archive::quickCheckIndexFile();
  for (const archive::ArchiveProblem& problem : first.problems) fs::resize_file(problem.name, problem.needed);
  std::vector<double> fileTimes, setTimes;
  bool sound = true;
  for (int run = 0; run < options.runs; ++run) {
    double start = now();
    archive::QuickCheckResult fromFile = archive::quickCheckIndexFile();
    fileTimes.push_back(now() - start);
    sound = sound && fromFile.ok() && fromFile.entries == entries;
    archive::closeArchiveSet(archive::archiveSet);
    archive::loadIndex();
    start = now();
    archive::QuickCheckResult fromSet = archive::quickCheckArchives(archive::archiveSet);
    setTimes.push_back(now() - start);
    sound = sound && fromSet.ok() && fromSet.entries == entries;
  }
  double file = median(fileTimes), set = median(setTimes);
  std::printf("quick check: %zu entries in %d archives%s\n", entries, kSmallArchives,
              sound ? "" : "  (FAILED: the check did not find the installation sound)");
  std::printf("  data.idx read and checked      median %8.3f s  (goal <= 1.000)\n", file);
  std::printf("  loaded set checked (at start)  median %8.3f s  (goal <= 1.000)\n", set);
  startFresh(options.dir);
}

constexpr const char* kChildApply = "--child-apply=";

// The child of the memory case: loads the index, applies one package and
// reports its own peak, nothing else.
int childApply(const char* package) {
  archive::loadIndex();
  bool ok = archive::applyPatchPackage(package);
  std::printf("  child's own peak       %8.1f MiB\n", bench::ownPeakBytes() / 1048576.0);
  std::fflush(stdout);
  return ok ? 0 : 1;
}

void memory(const Options& options) {
  std::size_t items = scaled(512, options.scale);
  startFresh(options.dir);
  static_cast<void>(archive::writeIndexFile("data.idx", 1, {}));
  std::vector<std::uint32_t> keys(items);
  for (std::size_t i = 0; i < items; ++i) keys[i] = static_cast<std::uint32_t>(i + 1);
  if (!writeKeyedPackage("huge.dat", 2, keys, kLargeItem)) std::exit(1);
  std::printf("memory: package of %zu x 4 MiB = %.0f MiB, applied in a child process\n", items, items * 4.0);
  std::fflush(stdout);
  double start = now();
  bench::ChildResult child = bench::runChild(platform::executablePath(), {std::string(kChildApply) + "huge.dat"});
  double elapsed = now() - start;
  std::printf("  result %s in %.3f s, package file %s\n", child.started && child.exitCode == 0 ? "true" : "FALSE",
              elapsed, fs::exists("huge.dat") ? "STILL THERE" : "gone");
  if (child.peakBytes > 0) {
    std::printf("  peak memory of the child %8.1f MiB  (goal < 128 MiB)\n", child.peakBytes / 1048576.0);
  } else {
    // Wine keeps no counters for a process that has ended: the child's own
    // figure, taken just before it ended, is the one to judge.
    std::printf("  peak memory of the child  not kept by the system; the child's own peak above stands"
                "  (goal < 128 MiB)\n");
  }
  startFresh(options.dir);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (argc == 2 && std::strncmp(argv[1], kChildApply, std::strlen(kChildApply)) == 0)
    return childApply(argv[1] + std::strlen(kChildApply));
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--scale=", 0) == 0) {
      options.scale = std::atof(arg.c_str() + 8);
    } else if (arg.rfind("--dir=", 0) == 0) {
      options.dir = arg.substr(6);
    } else if (arg.rfind("--only=", 0) == 0) {
      options.only = arg.substr(7);
    } else if (arg.rfind("--runs=", 0) == 0) {
      options.runs = std::max(1, std::atoi(arg.c_str() + 7));
    } else {
      std::fprintf(stderr, "usage: %s [--scale=F] [--dir=PATH] [--runs=N] [--only=memory|large|small|quick]\n",
                   argv[0]);
      return 2;
    }
  }
  fs::path work = fs::path(options.dir) / ("archive-bench-" + std::to_string(std::random_device()()));
  fs::create_directories(work);
  fs::current_path(work);
  options.dir = work.string();
  std::printf("archive_bench: scale %g, %d run(s) per case, in %s\n", options.scale, options.runs, options.dir.c_str());
  std::printf("pointer size %zu bits\n", sizeof(void*) * 8);
  if (options.only.empty() || options.only == "memory") memory(options);
  if (options.only.empty() || options.only == "large") largeItems(options);
  if (options.only.empty() || options.only == "small") smallItems(options);
  if (options.only.empty() || options.only == "quick") quickCheck(options);
  fs::current_path(fs::path(options.dir).parent_path());
  archive::closeArchiveSet(archive::archiveSet);
  fs::remove_all(work);
  return 0;
}
