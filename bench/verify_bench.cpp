// Speed of verifying an installation against a release's content list
// (update/repair_verify.h), beside its yardsticks:
//
//   an installation of 4 GiB: about 40,000 keys (16 bytes to 1 MiB each,
//   most of them small) in 4 archives, and 8 loose files of 48 MiB plus 256
//   of 64 KiB, listed by a content list of the same release;
//   warm, every file in the system's file cache: verification against
//   `sha256sum` over the same files one after the other, goal at most 0.5 x;
//   cold, the cache dropped before each timing (echo 3 >
//   /proc/sys/vm/drop_caches, which needs root; otherwise each file is
//   flushed and dropped with posix_fadvise, and the output says so):
//   verification against `cat` of the same files to /dev/null, goal at most
//   1.2 x.
//
// The verification must find the installation intact and hash every listed
// byte. Linux only: the yardsticks are the coreutils programs.
//
// Usage: verify_bench [--scale=F] [--dir=PATH] [--runs=N] [--workers=N] [--only=warm|cold] [--keep]
//   --scale    multiplies every size (0.01 runs in seconds); default 1
//   --dir      where the files go (a fresh subdirectory, removed at the end)
//   --runs     repetitions; the medians are printed; default 3
//   --workers  hashing threads; default the processor's count
//   --only     times one of the two cases
//   --keep     leaves the subdirectory in place
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "platform/crypto.h"
#include "update/repair_verify.h"

namespace fs = std::filesystem;

namespace {

struct Options {
  double scale = 1.0;
  std::string dir = fs::temp_directory_path().string();
  int runs = 3;
  unsigned workers = 0;
  std::string only;
  bool keep = false;
};

constexpr int kArchives = 4;
constexpr std::uint64_t kKeyBytes = 3696ull << 20;  // 3.6 GiB in keys...
constexpr int kLargeFiles = 8;                      // ...and 0.4 GiB in loose files
constexpr std::uint64_t kLargeFile = 48u << 20;
constexpr int kSmallFiles = 256;
constexpr std::uint64_t kSmallFile = 64u << 10;
constexpr std::size_t kPool = 16u << 20;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

update::Sha256Digest digestOf(const unsigned char* bytes, std::size_t size) {
  update::Sha256Digest digest;
  if (!platform::sha256Of(bytes, size, digest.data())) {
    std::fprintf(stderr, "SHA-256 failed\n");
    std::exit(1);
  }
  return digest;
}

void writeAll(std::FILE* out, const unsigned char* bytes, std::size_t size, const std::string& name) {
  if (std::fwrite(bytes, 1, size, out) != size) {
    std::fprintf(stderr, "cannot write %s\n", name.c_str());
    std::exit(1);
  }
}

// Writes the installation into the working directory and gives its content
// list and the names of its files.
update::ContentList writeInstallation(double scale, std::vector<std::string>* names) {
  std::mt19937_64 random(20261211);
  std::vector<unsigned char> pool(kPool + (1u << 20));
  for (auto& byte : pool) byte = static_cast<unsigned char>(random());
  auto cut = [&](std::size_t size) { return pool.data() + random() % (pool.size() - size); };

  update::ContentList list;
  std::vector<archive::IndexArchiveSpec> specs;
  std::uint64_t perArchive = static_cast<std::uint64_t>(kKeyBytes * scale) / kArchives;
  std::uint32_t key = 0x1000;
  // Sizes spread evenly over their logarithm, 16 bytes to 1 MiB.
  std::uniform_real_distribution<double> logSize(std::log(16.0), std::log(double(1u << 20)));
  for (int a = 0; a < kArchives; ++a) {
    archive::IndexArchiveSpec spec;
    spec.name = "GAME" + std::to_string(a) + ".VFS";
    std::FILE* out = std::fopen(spec.name.c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "cannot create %s\n", spec.name.c_str());
      std::exit(1);
    }
    std::uint64_t offset = 0;
    while (offset < perArchive) {
      std::size_t size = static_cast<std::size_t>(std::exp(logSize(random)));
      const unsigned char* bytes = cut(size);
      writeAll(out, bytes, size, spec.name);
      spec.entries.push_back({key, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(size)});
      list.keys.push_back({key, static_cast<std::uint32_t>(size), digestOf(bytes, size), key % 64});
      offset += size;
      key += 0x9E37;  // keys spread over 32 bits, ascending
    }
    std::fclose(out);
    names->push_back(spec.name);
    specs.push_back(std::move(spec));
  }
  platform::Status written = archive::writeIndexFile(archive::kIndexFileName, 1426, specs);
  if (!written.ok()) {
    std::fprintf(stderr, "%s\n", written.reason().c_str());
    std::exit(1);
  }

  fs::create_directory("data");
  auto addFile = [&](const std::string& name, std::uint64_t size) {
    std::string path = platform::nativePath(name.c_str());
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
      std::fprintf(stderr, "cannot create %s\n", path.c_str());
      std::exit(1);
    }
    platform::Sha256 hash;
    for (std::uint64_t done = 0; done < size;) {
      std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, 1u << 20));
      const unsigned char* bytes = cut(piece);
      writeAll(out, bytes, piece, path);
      hash.update(bytes, piece);
      done += piece;
    }
    std::fclose(out);
    update::RepairFile file;
    file.name = name;
    file.size = size;
    hash.finish(file.sha256.data());
    file.pack = 64 + static_cast<std::uint32_t>(list.files.size() % 8);
    list.files.push_back(file);
    names->push_back(path);
  };
  std::vector<std::string> fileNames;
  for (int i = 0; i < kLargeFiles; ++i) fileNames.push_back("data\\large" + std::to_string(i) + ".pak");
  for (int i = 0; i < kSmallFiles; ++i) fileNames.push_back("data\\small" + std::to_string(i) + ".dat");
  std::sort(fileNames.begin(), fileNames.end());
  for (const std::string& name : fileNames) {
    bool large = name.find("large") != std::string::npos;
    addFile(name, static_cast<std::uint64_t>((large ? kLargeFile : kSmallFile) * scale) + 1);
  }
  return list;
}

// Drops the files from the cache: the whole cache when root may, else each
// file's pages. Says which the first time.
void dropCache(const std::vector<std::string>& names) {
  static int way = 0;  // 1: drop_caches, 2: posix_fadvise
  ::sync();
  if (way != 2) {
    std::FILE* drop = std::fopen("/proc/sys/vm/drop_caches", "w");
    bool dropped = drop && std::fputs("3\n", drop) >= 0;
    if (drop && std::fclose(drop) != 0) dropped = false;
    if (dropped) {
      if (way == 0) std::printf("cache: dropped with /proc/sys/vm/drop_caches\n");
      way = 1;
      return;
    }
    std::printf("cache: /proc/sys/vm/drop_caches refused (%s); dropping each file with posix_fadvise instead\n",
                std::strerror(errno));
    way = 2;
  }
  for (const std::string& name : names) {
    int fd = ::open(name.c_str(), O_RDONLY);
    if (fd < 0) continue;
    ::fdatasync(fd);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
  }
}

double timeCommand(const std::string& program, const std::vector<std::string>& names) {
  std::string command = program;
  for (const std::string& name : names) command += " '" + name + "'";
  command += " > /dev/null";
  double start = now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "%s failed\n", program.c_str());
    std::exit(1);
  }
  return now() - start;
}

double timeVerify(const update::ContentList& list, unsigned workers, std::uint64_t listed) {
  double start = now();
  platform::Status loaded = archive::loadIndexWithReason();
  if (!loaded.ok()) {
    std::fprintf(stderr, "%s\n", loaded.reason().c_str());
    std::exit(1);
  }
  update::VerifyOptions options;
  options.workers = workers;
  int calls = 0;
  options.progress = [&calls](std::uint64_t, std::uint64_t) { ++calls; };
  update::VerifyOutcome outcome = update::verifyInstallation(list, &archive::archiveSet, options);
  double seconds = now() - start;
  archive::closeArchiveSet(archive::archiveSet);
  if (!outcome.damaged.empty() || outcome.bytesVerified != listed) {
    std::fprintf(stderr, "verification wrong: %zu damaged (first: %s), %llu of %llu bytes\n", outcome.damaged.size(),
                 outcome.damaged.empty() ? "-" : outcome.damaged[0].reason.c_str(),
                 static_cast<unsigned long long>(outcome.bytesVerified), static_cast<unsigned long long>(listed));
    std::exit(1);
  }
  if (calls > 258) {
    std::fprintf(stderr, "progress called %d times\n", calls);
    std::exit(1);
  }
  return seconds;
}

void printCase(const char* name, const char* yardstick, double goal, std::vector<double>& theirs,
               std::vector<double>& ours, std::uint64_t bytes) {
  double t = median(theirs), o = median(ours);
  double mib = bytes / 1048576.0;
  std::printf("%s: %s %.2f s (%.0f MiB/s), verify %.2f s (%.0f MiB/s), ratio %.2f (goal <= %.1f)\n", name, yardstick, t,
              mib / t, o, mib / o, o / t, goal);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each figure as it comes, also into a file
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--scale=", 0) == 0) {
      options.scale = std::atof(arg.c_str() + 8);
    } else if (arg.rfind("--dir=", 0) == 0) {
      options.dir = arg.substr(6);
    } else if (arg.rfind("--runs=", 0) == 0) {
      options.runs = std::max(1, std::atoi(arg.c_str() + 7));
    } else if (arg.rfind("--workers=", 0) == 0) {
      options.workers = static_cast<unsigned>(std::atoi(arg.c_str() + 10));
    } else if (arg.rfind("--only=", 0) == 0) {
      options.only = arg.substr(7);
    } else if (arg == "--keep") {
      options.keep = true;
    } else {
      std::fprintf(stderr, "usage: %s [--scale=F] [--dir=PATH] [--runs=N] [--workers=N] [--only=warm|cold] [--keep]\n",
                   argv[0]);
      return 2;
    }
  }
  if (options.scale <= 0 || options.scale > 4) {
    std::fprintf(stderr, "--scale must lie in (0, 4]\n");
    return 2;
  }

  fs::path work = fs::path(options.dir) / ("vlm-verify-bench-" + std::to_string(::getpid()));
  fs::create_directories(work);
  fs::path previous = fs::current_path();
  fs::current_path(work);

  std::vector<std::string> names;
  double start = now();
  update::ContentList list = writeInstallation(options.scale, &names);
  std::uint64_t listed = 0;
  for (const auto& key : list.keys) listed += key.size;
  for (const auto& file : list.files) listed += file.size;
  std::printf("installation: %zu keys in %d archives, %zu loose files, %.2f GiB, written in %.1f s\n", list.keys.size(),
              kArchives, list.files.size(), listed / 1073741824.0, now() - start);
  std::printf("workers: %s (processors: %u)\n", options.workers ? std::to_string(options.workers).c_str() : "default",
              std::thread::hardware_concurrency());

  if (options.only.empty() || options.only == "warm") {
    std::vector<double> theirs, ours;
    timeCommand("cat", names);  // into the cache
    for (int r = 0; r < options.runs; ++r) {
      theirs.push_back(timeCommand("sha256sum", names));
      ours.push_back(timeVerify(list, options.workers, listed));
    }
    printCase("warm", "sha256sum", 0.5, theirs, ours, listed);
  }
  if (options.only.empty() || options.only == "cold") {
    std::vector<double> theirs, ours;
    for (int r = 0; r < options.runs; ++r) {
      dropCache(names);
      theirs.push_back(timeCommand("cat", names));
      dropCache(names);
      ours.push_back(timeVerify(list, options.workers, listed));
    }
    printCase("cold", "cat", 1.2, theirs, ours, listed);
  }

  fs::current_path(previous);
  if (options.keep)
    std::printf("kept %s\n", work.string().c_str());
  else
    fs::remove_all(work);
  return 0;
}
