// vlm-patch diff and compare: from a studio's new release to the packages
// that take players there, and the check that they do.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "platform/file.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/compare.h"
#include "tools/vlm_patch/diff.h"
#include "tools/vlm_patch/diff_numbering.h"
#include "tools/vlm_patch/manifest.h"
#include "tools/vlm_patch/options.h"
#include "tools/vlm_patch/server_dir.h"

namespace vlmpatch {

namespace fs = std::filesystem;

namespace {

// Pulls a flag without a value out of args; true when it was there.
bool takeFlag(Args& args, const std::string& name) {
  auto found = std::find(args.begin(), args.end(), name);
  if (found == args.end()) return false;
  args.erase(found);
  return true;
}

int failWithProblems(const std::vector<std::string>& problems) {
  for (const std::string& problem : problems) std::fprintf(stderr, "vlm-patch: %s\n", problem.c_str());
  return kExitFailed;
}

// The output directory must hold no package yet: publish takes every package
// it finds there, and one left from an earlier diff would be published with
// this one. It is made when missing, once there is something to write.
bool checkOutput(const std::string& outDir, std::string* error) {
  if (!platform::pathExists(outDir.c_str())) return true;
  if (!platform::isDirectory(outDir.c_str())) {
    *error = outDir + " is not a directory";
    return false;
  }
  std::error_code failed;
  for (fs::directory_iterator it(outDir, failed); !failed && it != fs::directory_iterator(); it.increment(failed)) {
    std::uint32_t number = 0;
    if (parsePackageFileName(it->path().filename().string(), &number)) {
      *error = outDir + " holds packages already (" + it->path().filename().string() +
               "); give an empty directory, so publish takes this diff's packages alone";
      return false;
    }
  }
  if (failed) *error = "cannot list " + outDir;
  return !failed;
}

// The packages must not land inside either installation, where they would
// be taken for files of the release from then on.
bool outputLiesOutside(const std::string& outDir, const Args& installations, std::string* error) {
  std::error_code failed;
  fs::path out = fs::absolute(outDir, failed).lexically_normal();
  for (const std::string& dir : installations) {
    fs::path inside = fs::absolute(dir, failed).lexically_normal();
    auto mismatch = std::mismatch(inside.begin(), inside.end(), out.begin(), out.end());
    // An empty last part stands for a trailing separator.
    if (mismatch.first == inside.end() || (std::next(mismatch.first) == inside.end() && mismatch.first->empty())) {
      *error = outDir + " lies inside " + dir + ", where the packages would become part of the release";
      return false;
    }
  }
  return true;
}

const char* typeWork(std::uint8_t type) {
  return type == 1                   ? "keys stored"
         : type == 4                 ? "files deleted"
         : type == kEmptyPackageType ? "empty: it raises the version"
                                     : "files written";
}

constexpr const char* kDiffUsage =
    "usage: vlm-patch diff OLD_INSTALL NEW_INSTALL -o OUT_DIR [--first N | --last N] [--pad] "
    "[--max-patch-size BYTES] [--allow-stale-keys]";

// "64 MiB", "1536 KiB", "1000 bytes": a size as the operator would give it.
std::string describeBytes(std::uint64_t bytes) {
  const char* units[] = {" GiB", " MiB", " KiB"};
  for (int i = 0; i < 3; ++i) {
    int shift = 30 - 10 * i;
    if (bytes >= (std::uint64_t(1) << shift) && bytes % (std::uint64_t(1) << shift) == 0)
      return std::to_string(bytes >> shift) + units[i];
  }
  return std::to_string(bytes) + " bytes";
}

}  // namespace

int runDiff(const Args& given) {
  Args args = given;
  std::string outDir, first, last, maxPatch;
  bool hasOut = false, hasFirst = false, hasLast = false, hasMaxPatch = false;
  bool allowStale = takeFlag(args, "--allow-stale-keys");
  bool pad = takeFlag(args, "--pad");
  if (!takeOption(args, "-o", &outDir, &hasOut) || !takeOption(args, "--first", &first, &hasFirst) ||
      !takeOption(args, "--last", &last, &hasLast) || !takeOption(args, "--max-patch-size", &maxPatch, &hasMaxPatch) ||
      args.size() != 2 || !hasOut)
    return fail(kExitUsage, kDiffUsage);
  std::uint64_t maxPatchBytes = kDefaultMaxPatchBytes;
  if (hasMaxPatch && !parseByteSize(maxPatch, kLeastMaxPatchBytes, kMostMaxPatchBytes, &maxPatchBytes))
    return fail(kExitUsage, "--max-patch-size takes a size from " + describeBytes(kLeastMaxPatchBytes) + " to " +
                                describeBytes(kMostMaxPatchBytes) +
                                " in bytes, or with K, M or G for KiB, MiB or GiB (64M), not '" + maxPatch + "'");
  std::uint64_t firstNumber = 0, lastNumber = 0;
  if (hasFirst && (!parseNumber(first, 0xFFFF, &firstNumber) || firstNumber == 0))
    return fail(kExitUsage, "--first takes a patch number from 1 to 65535");
  if (hasLast && (!parseNumber(last, 0xFFFF, &lastNumber) || lastNumber == 0))
    return fail(kExitUsage, "--last takes a patch number from 1 to 65535");
  if (hasLast && (hasFirst || pad))
    return fail(kExitUsage, "--last numbers the packages by itself: it goes with neither --first nor --pad");

  std::string error;
  if (!outputLiesOutside(outDir, args, &error) || !checkOutput(outDir, &error)) return fail(kExitFailed, error);
  InstallTree oldTree, newTree;
  ReleaseDiff diff;
  PackageOutput output;
  output.outDir = outDir;
  output.maxPackageBytes = packageBytesWithin(maxPatchBytes);
  // With --last the packages are numbered once they are counted, when the
  // ones written meanwhile take their numbers.
  output.nextNumber = static_cast<std::uint32_t>(firstNumber);
  std::vector<std::uint32_t> stale;
  std::vector<std::string> problems;
  DiffOutcome outcome =
      diffInstallations(args[0], args[1], allowStale, &oldTree, &newTree, &diff, &output, &stale, &problems);
  if (!stale.empty()) {
    // Refused, the list is the error; allowed, it is what players keep.
    std::FILE* out = allowStale ? stdout : stderr;
    std::fprintf(out, "%s%zu keys of %s are missing from %s, and no patch removes a key from an installation:\n",
                 allowStale ? "note: " : "vlm-patch: ", stale.size(), args[0].c_str(), args[1].c_str());
    for (std::size_t i = 0; i < stale.size() && i < kListedProblems; ++i)
      std::fprintf(out, "  %s\n", hexKey(stale[i]).c_str());
    if (stale.size() > kListedProblems) std::fprintf(out, "  ... and %zu more\n", stale.size() - kListedProblems);
  }
  if (outcome == DiffOutcome::kStaleKeys) {
    std::fprintf(stderr,
                 "vlm-patch: nothing written; with --allow-stale-keys the rest is published and players keep "
                 "these keys\n");
    return kExitStaleKeys;
  }
  if (outcome == DiffOutcome::kFailed) return failWithProblems(problems);
  std::vector<PlannedPackage> plan;
  if (!planPackages(diff, output.nextNumber, output.maxPackageBytes, &plan, &error)) return fail(kExitFailed, error);
  NumberingRequest request;
  request.oldVersion = oldTree.index.baseVersion;
  request.newVersion = newTree.index.baseVersion;
  request.newNamed = args[1];
  request.packages = output.packages.size() + plan.size();
  request.first = static_cast<std::uint32_t>(firstNumber);
  request.last = static_cast<std::uint32_t>(lastNumber);
  request.pad = pad;
  Numbering numbering;
  std::string refusal;
  if (!numberPackages(request, &numbering, &refusal)) return fail(kExitVersions, refusal + "; nothing was written");
  numberPackagesFrom(numbering.first, numbering.padding, &output, &plan);
  if (!writePackages(newTree, diff, plan, &output, &error)) return fail(kExitFailed, error);
  const std::vector<PlannedPackage>& written = output.packages;
  for (const std::string& note : diff.notes) std::printf("note: %s\n", note.c_str());
  if (written.empty()) {
    std::printf("%s and %s hold the same keys and files: no packages\n", args[0].c_str(), args[1].c_str());
    return kExitOk;
  }
  for (const PlannedPackage& p : written)
    std::printf("%s: type %u (%s), %zu items, %llu bytes\n", joinPath(outDir, packageFileName(p.number)).c_str(),
                p.type, typeWork(p.type), p.count, static_cast<unsigned long long>(p.bytes));
  for (const PlannedPackage& p : written)
    if (p.bytes > output.maxPackageBytes)
      std::printf("note: %s holds one item too large for a patch of %s; it goes alone\n",
                  packageFileName(p.number).c_str(), describeBytes(maxPatchBytes).c_str());
  return kExitOk;
}

int runCompare(const Args& args) {
  if (args.size() != 2) return fail(kExitUsage, "usage: vlm-patch compare A B");
  InstallTree a, b;
  std::vector<std::string> problems;
  if (!readInstallTree(args[0], &a, &problems)) return failWithProblems(problems);
  if (!readInstallTree(args[1], &b, &problems)) return failWithProblems(problems);
  TreeComparison comparison;
  std::string error;
  if (!compareTrees(a, b, &comparison, &error)) return fail(kExitFailed, error);
  for (const std::string& line : comparison.differences) std::printf("%s\n", line.c_str());
  if (comparison.total > comparison.differences.size())
    std::printf("... and %zu more\n", comparison.total - comparison.differences.size());
  if (comparison.total == 0) {
    std::printf("%s and %s are equal\n", args[0].c_str(), args[1].c_str());
    return kExitOk;
  }
  std::printf("%zu difference%s\n", comparison.total, comparison.total == 1 ? "" : "s");
  return kExitFailed;
}

}  // namespace vlmpatch
