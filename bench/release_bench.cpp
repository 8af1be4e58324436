// What signed releases and the contained RAR reader cost: downloading,
// extracting and applying a 1 GiB patch set (8 patches of 128 MiB, each a
// type-1 package of 32 items of 4 MiB in a stored RAR) from nginx on
// loopback, two ways in the same run:
//
//  - the yardstick: a launcher without keys, with the RAR reading in its own
//    process (libarchive called in process, straight into the package file,
//    as the launcher did before the contained reader: this file's
//    extractInProcess; libarchive checks a stored RAR 4 entry's CRC itself);
//  - the launcher as it is with a key: the release record fetched and
//    checked, every patch bounded and hashed as it arrives, its block
//    fetched and checked, and each archive read by the contained reader
//    (extractPatchArchive: a sandboxed process per archive, every entry
//    checked against its CRC-32).
//
// Usage: release_bench [--scale=F] [--dir=PATH] [--runs=N]
//   --scale multiplies the patch set's size (0.05 runs in seconds)
// It prints each way's median and the ratio (goal: at most 1.10), where
// each way spends its time, and one extraction alone both ways. A pass that
// fails makes the program fail without a ratio.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "archive/package_writer.h"
#include "archive/patch_apply.h"
#include "bench/in_process_extract.h"
#include "core/paths.h"
#include "platform/crypto.h"
#include "platform/rar.h"
#include "platform/test_hooks.h"
#include "support/nginx_server.h"
#include "tools/rar_writer/rar_writer.h"
#include "tools/vlm_patch/release_files.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/download.h"
#include "update/rar_extract.h"
#include "update/release_verify.h"
#include "update/versions.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kItemSize = 4u << 20;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  std::size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void fillPattern(std::uint64_t from, char* out, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) out[i] = static_cast<char>((from + i) * 2654435761u >> 24);
}

// Patch n: a type-1 package of `items` items, stored in "<n>.rar" as "<n>.dat".
bool writePatch(const fs::path& serverDir, std::uint32_t n, std::size_t items) {
  std::string package = (serverDir / (".p" + std::to_string(n) + ".dat")).string();
  archive::PackageFileWriter writer;
  if (!archive::beginPackageFile(writer, package.c_str(), 0x5A, static_cast<std::uint16_t>(n), 1,
                                 static_cast<std::uint16_t>(items)))
    return false;
  for (std::size_t i = 0; i < items; ++i) {
    if (!archive::addPackageItem(writer, static_cast<std::uint32_t>(n * 1000 + i), "", kItemSize, fillPattern))
      return false;
  }
  if (!archive::finishPackageFile(writer)) return false;
  std::string rar = (serverDir / (std::to_string(n) + ".rar")).string();
  bool ok = writeStoredRarFromFile(rar.c_str(), std::to_string(n) + ".dat", package.c_str());
  fs::remove(package);
  return ok;
}

// A fresh installation in dir: an empty index at version 0.
void freshInstallation(const fs::path& dir) {
  archive::closeArchiveSet(archive::archiveSet);
  archive::indexLoaded = false;
  for (const auto& item : fs::directory_iterator(dir)) fs::remove_all(item.path());
  static_cast<void>(archive::writeIndexFile("data.idx", 0, {}));
  archive::loadIndex();
}

// Where a pass spends its time: download (with the record, blocks and
// hashing), extraction, application.
struct Phases {
  double download = 0, extract = 0, apply = 0;
};

// One pass over every patch; false on the first failure.
bool updatePass(const std::string& baseUrl, std::uint32_t patches, bool keyed, Phases* phases) {
  double mark = now();
  auto lap = [&](double* phase) {
    double t = now();
    *phase += t - mark;
    mark = t;
  };
  if (keyed) {
    if (!update::downloadFileUpTo((baseUrl + "/patch.hpl").c_str(), "patch.hpl", 4096) ||
        !update::readPatchList("patch.hpl") || !update::acceptRelease())
      return false;
  }
  for (std::uint32_t n = 1; n <= patches; ++n) {
    std::string rar = std::to_string(n) + ".rar", dat = std::to_string(n) + ".dat";
    const update::FileDigest* expected = nullptr;
    if (keyed && !update::expectedPatch(n, &expected)) return false;
    if (!downloadFile((baseUrl + "/" + rar).c_str(), rar.c_str(), expected)) return false;
    lap(&phases->download);
    bool extracted =
        keyed ? update::extractPatchArchive(rar.c_str(), dat.c_str()) : extractInProcess(rar.c_str(), dat.c_str());
    fs::remove(rar);
    lap(&phases->extract);
    if (!extracted || !archive::applyPatchPackage(dat.c_str())) return false;
    lap(&phases->apply);
  }
  return archive::archiveSet.baseVersion == patches;
}

}  // namespace

int main(int argc, char** argv) {
  double scale = 1.0;
  int runs = 3;
  std::string dir = fs::temp_directory_path().string();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.rfind("--scale=", 0) == 0) {
      scale = std::atof(arg.c_str() + 8);
    } else if (arg.rfind("--dir=", 0) == 0) {
      dir = arg.substr(6);
    } else if (arg.rfind("--runs=", 0) == 0) {
      runs = std::max(1, std::atoi(arg.c_str() + 7));
    } else {
      std::fprintf(stderr, "usage: %s [--scale=F] [--dir=PATH] [--runs=N]\n", argv[0]);
      return 2;
    }
  }
  const std::uint32_t patches = 8;
  const std::size_t items = std::max<std::size_t>(1, static_cast<std::size_t>(32 * scale + 0.5));
  fs::path work = fs::path(dir) / ("release-bench-" + std::to_string(std::random_device()()));
  fs::path install = work / "install";
  fs::create_directories(install);
  // Whichever way the program ends, it leaves nothing behind.
  struct Cleanup {
    fs::path work;
    ~Cleanup() {
      std::error_code ignored;
      fs::current_path(work.parent_path(), ignored);
      archive::closeArchiveSet(archive::archiveSet);
      fs::remove_all(work, ignored);
      // The accepted sequence the keyed passes recorded beside this program.
      fs::remove(fs::path(core::exeDirectory()) / "rseq.v", ignored);
    }
  } cleanup{work};

  NginxServer server;
  if (!server.start()) {
    std::fprintf(stderr, "nginx did not start: %s\n", server.why().c_str());
    return 1;
  }
  fs::path serverDir = fs::path(server.documentRoot()) / "vlm" / "patch";
  fs::create_directories(serverDir);
  for (std::uint32_t n = 1; n <= patches; ++n) {
    if (!writePatch(serverDir, n, items)) {
      std::fprintf(stderr, "could not write patch %u\n", n);
      return 1;
    }
  }
  vlmpatch::PatchList list;
  list.latestPatch = patches;
  std::string error;
  vlmpatch::SignOptions options;
  vlmpatch::SigningKey key;
  if (!platform::generateP256(key.secret, key.publicKey.data())) return 1;
  options.keys.push_back(key);
  if (!vlmpatch::writeServerPatchList(serverDir.string(), list, &error) ||
      !vlmpatch::signRelease(serverDir.string(), list, options, &error)) {
    std::fprintf(stderr, "could not publish: %s\n", error.c_str());
    return 1;
  }
  const std::string baseUrl = server.baseUrl() + "/vlm/patch";
  setenv("VLM_PATCH_BASE_URL", baseUrl.c_str(), 1);  // where acceptRelease looks
  fs::current_path(install);
  // A build without test hooks keeps the reader in bin/ only, beside the
  // launcher and the other programs.
  const fs::path readerInBin = fs::path(core::exeDirectory()).parent_path() / "bin" / "vlm-rar-reader";
  if (!fs::exists(fs::path(core::exeDirectory()) / "vlm-rar-reader") && fs::exists(readerInBin)) {
    platform::setRarReaderForTests(readerInBin.c_str(), 0);
  }

  double bytes = static_cast<double>(patches) * items * kItemSize;
  std::printf(
      "release_bench: downloading, extracting and applying %u patches of %zu x 4 MiB = %.0f MiB from nginx on "
      "loopback,\n  %d run(s) each way, in %s\n"
      "  yardstick: no key, libarchive in process writing the package\n"
      "  measured:  a key (release record, its block, every patch bounded and hashed) and the contained reader\n"
      "             (a sandboxed process per archive writing into the file the launcher made, CRC-32 checked)\n",
      patches, items, bytes / (1 << 20), runs, work.string().c_str());
  std::vector<double> plain, keyed;
  Phases plainPhases, keyedPhases;
  for (int run = 0; run < runs; ++run) {
    // The two ways take turns going first: a pass leaves the disk busy with
    // what it wrote, which the pass after it would otherwise always pay for.
    const bool order[2] = {run % 2 == 1, run % 2 == 0};
    for (bool withKey : order) {
      platform::setTrustedKeysForTests(withKey ? update::toHex(key.publicKey.data(), key.publicKey.size()) : "");
      update::resetLauncherVersions();
      freshInstallation(install);
      // Nor does a pass start while the disk still writes what the one
      // before it left: each starts from a flushed disk.
      ::sync();
      // The passes' trace goes nowhere: only the figures are printed.
      std::fflush(stdout);
      int saved = dup(fileno(stdout));
      int quiet = open("/dev/null", O_WRONLY);
      dup2(quiet, fileno(stdout));
      double start = now();
      bool ok = updatePass(baseUrl, patches, withKey, withKey ? &keyedPhases : &plainPhases);
      double elapsed = now() - start;
      std::fflush(stdout);
      dup2(saved, fileno(stdout));
      close(saved);
      close(quiet);
      if (!ok) {
        std::printf("  pass %s FAILED: no figures\n", withKey ? "with key" : "without key");
        return 1;
      }
      (withKey ? keyed : plain).push_back(elapsed);
    }
  }
  double base = median(plain), full = median(keyed);
  std::printf("  without key, reader in process   median %8.3f s  (%.0f MiB/s)\n", base, bytes / base / (1 << 20));
  std::printf("  with key, contained reader       median %8.3f s  (%.0f MiB/s)\n", full, bytes / full / (1 << 20));
  std::printf("  ratio with / without             %.3f  (goal <= 1.10)\n", full / base);
  std::printf("  per pass, download / extract / apply:\n");
  for (const auto& row : {std::make_pair("without key", plainPhases), std::make_pair("with key", keyedPhases)}) {
    std::printf("    %-12s %7.3f s / %7.3f s / %7.3f s\n", row.first, row.second.download / runs,
                row.second.extract / runs, row.second.apply / runs);
  }

  // Extraction alone, on a local copy of patch 1: the contained reader
  // against libarchive in process.
  fs::copy_file(serverDir / "1.rar", install / "x.rar", fs::copy_options::overwrite_existing);
  std::vector<double> inProcess, contained;
  for (int run = 0; run < runs; ++run) {
    double start = now();
    bool ok = extractInProcess("x.rar", "x.dat");
    inProcess.push_back(now() - start);
    fs::remove("x.dat");
    start = now();
    ok = update::extractPatchArchive("x.rar", "x.dat") && ok;
    contained.push_back(now() - start);
    fs::remove("x.dat");
    if (!ok) {
      std::printf("  extraction of one patch FAILED\n");
      return 1;
    }
  }
  std::printf("  extraction of one %.0f MiB patch alone, median: in process %.3f s, contained reader %.3f s\n",
              static_cast<double>(fs::file_size(install / "x.rar")) / (1 << 20), median(inProcess), median(contained));
  return 0;
}
