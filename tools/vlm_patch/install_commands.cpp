// vlm-patch index init|show|check, apply and compact: the commands that work
// on an installation directory. The launcher's own code resolves "data.idx"
// and the archive names against the working directory, so each command
// moves there first.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "archive/patch_apply.h"
#include "core/display_state.h"
#include "platform/file.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/compact.h"
#include "tools/vlm_patch/install_check.h"
#include "tools/vlm_patch/progress.h"

namespace vlmpatch {

namespace fs = std::filesystem;

int fail(int code, const std::string& message) {
  std::fprintf(stderr, "vlm-patch: %s\n", message.c_str());
  return code;
}

bool wantsHelp(const Args& args) {
  for (const std::string& a : args)
    if (a == "-h" || a == "--help") return true;
  return false;
}

namespace {

bool enterInstallation(const std::string& dir, std::string* error) {
  std::error_code failed;
  fs::current_path(dir, failed);
  if (failed) *error = "cannot enter " + dir + ": " + failed.message();
  return !failed;
}

// An absolute form of a path given relative to where the tool was started.
std::string absolute(const std::string& path) {
  std::error_code ignored;
  return fs::absolute(path, ignored).string();
}

double mib(std::uint64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

int runIndexInit(const Args& args) {
  if (args.size() != 1 && !(args.size() == 3 && args[1] == "--version")) {
    return fail(kExitUsage, "usage: vlm-patch index init INSTALL_DIR [--version N]");
  }
  unsigned long version = 0;
  if (args.size() == 3) {
    char* end = nullptr;
    version = std::strtoul(args[2].c_str(), &end, 10);
    if (args[2].empty() || *end || version > 0xFFFFFFFFul) return fail(kExitUsage, "--version takes a whole number");
  }
  std::error_code ignored;
  fs::create_directories(args[0], ignored);
  std::string error;
  if (!enterInstallation(args[0], &error)) return fail(kExitFailed, error);
  if (platform::pathExists(archive::kIndexFileName)) return fail(kExitFailed, "data.idx exists already in " + args[0]);
  platform::Status written = archive::writeIndexFile(archive::kIndexFileName, static_cast<std::uint32_t>(version), {});
  if (!written.ok()) return fail(kExitFailed, "cannot write data.idx in " + args[0] + ": " + written.reason());
  std::printf("%s: empty installation at version %lu\n", args[0].c_str(), version);
  return kExitOk;
}

int runIndexShow(const Args& args) {
  if (args.size() != 1) return fail(kExitUsage, "usage: vlm-patch index show INSTALL_DIR");
  std::string error;
  archive::ArchiveSet set;
  if (!enterInstallation(args[0], &error) || !readInstallIndex(&set, &error)) return fail(kExitFailed, error);
  CheckReport report = checkInstallation(set);
  std::printf("version %u, %u archives\n", set.baseVersion, static_cast<unsigned>(set.archiveCount));
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    const ArchiveReport& r = report.archives[a];
    std::printf("archive %zu: %s, %zu entries, ", a, r.name.c_str(), r.entries);
    if (r.present) {
      std::printf("%llu bytes\n", static_cast<unsigned long long>(r.fileSize));
    } else {
      std::printf("file missing\n");
    }
    for (const archive::FileEntry& e : liveEntries(*set.archives[a]->archive)) {
      std::printf("  key 0x%08X  offset %10u  size %10u\n", e.key, e.offset, e.size);
    }
  }
  return kExitOk;
}

int runIndexCheck(const Args& args) {
  if (args.size() != 1) return fail(kExitUsage, "usage: vlm-patch index check INSTALL_DIR");
  std::string error;
  archive::ArchiveSet set;
  if (!enterInstallation(args[0], &error) || !readInstallIndex(&set, &error)) return fail(kExitFailed, error);
  CheckReport report = checkInstallation(set);
  std::size_t entries = 0;
  for (const ArchiveReport& r : report.archives) entries += r.entries;
  for (const std::string& problem : report.problems) std::printf("problem: %s\n", problem.c_str());
  std::printf("%u archives, %zu entries, %llu bytes (%.1f MiB) held by replaced files\n",
              static_cast<unsigned>(set.archiveCount), entries,
              static_cast<unsigned long long>(report.unreferencedTotal), mib(report.unreferencedTotal));
  if (!report.problems.empty()) {
    std::printf("%zu problems\n", report.problems.size());
    return kExitFailed;
  }
  std::printf("ok\n");
  return kExitOk;
}

namespace {

ProgressBar* applyBar = nullptr;

// The launcher's code reports progress through the display state; on a
// terminal the tool shows it as a bar.
void showApplyProgress() {
  if (!applyBar) return;
  std::uint32_t done = 0;
  core::withUiLock([&done](core::DisplayState& state) { done = state.totalProgress; });
  showProgress(*applyBar, done);
}

// Applying consumes the package file, as in the launcher: each package is
// applied from a copy of this name in the installation.
constexpr const char* kApplyWorkingCopy = "vlm-patch-apply.dat";

// The name of an archive of the loaded set that exists but could not be
// opened, or "": the launcher and vlm-patch hold the archives exclusively,
// so another of them is at work in the installation.
std::string archiveHeldElsewhere() {
  for (const auto& slot : archive::archiveSet.archives) {
    const archive::Archive& archive = *slot->archive;
    if (!archive.file && platform::pathExists(archive.name.c_str())) return archive.name;
  }
  return "";
}

// A working copy that an apply which ended half-way left behind.
bool removeStaleWorkingCopy() {
  if (!platform::pathExists(kApplyWorkingCopy)) return true;
  if (!platform::deleteFile(kApplyWorkingCopy)) return false;
  std::printf("removed %s, left by an earlier apply\n", kApplyWorkingCopy);
  return true;
}

}  // namespace

int runApply(const Args& args) {
  if (args.size() < 2) return fail(kExitUsage, "usage: vlm-patch apply INSTALL_DIR PACKAGE.dat...");
  std::vector<std::string> packages;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (!platform::pathExists(args[i].c_str())) return fail(kExitFailed, "no such file: " + args[i]);
    packages.push_back(absolute(args[i]));
  }
  std::string error;
  if (!enterInstallation(args[0], &error)) return fail(kExitFailed, error);
  if (!platform::pathExists(archive::kIndexFileName)) return fail(kExitFailed, "no data.idx in " + args[0]);
  platform::Status loaded = archive::loadIndexWithReason();
  if (!loaded.ok()) return fail(kExitFailed, "the index in " + args[0] + " cannot be loaded: " + loaded.reason());
  std::string held = archiveHeldElsewhere();
  if (!held.empty()) {
    archive::closeArchiveSet(archive::archiveSet);
    return fail(kExitFailed, held + " in " + args[0] + " is held by another program (a launcher or vlm-patch at work)");
  }
  if (!removeStaleWorkingCopy()) {
    archive::closeArchiveSet(archive::archiveSet);
    return fail(kExitFailed,
                std::string("cannot remove ") + kApplyWorkingCopy + " left by an earlier apply in " + args[0]);
  }
  core::setRepaintHandler(showApplyProgress);
  int status = kExitOk;
  for (const std::string& package : packages) {
    const char* copy = kApplyWorkingCopy;
    platform::Status copied = platform::copyFileReplacing(package.c_str(), copy);
    if (!copied.ok()) {
      platform::deleteFile(copy);  // whatever part of it was written
      status = fail(kExitFailed, "cannot copy " + package + " into the installation: " + copied.reason());
      break;
    }
    ProgressBar bar = startProgress(fs::path(package).filename().string(), 100);
    applyBar = &bar;
    archive::PatchOutcome outcome = archive::applyPatchPackageWithOutcome(copy);
    applyBar = nullptr;
    platform::deleteFile(copy);
    if (!outcome.items.ok()) {
      std::fputc('\n', stderr);
      status = fail(kExitFailed, package + " could not be applied; the installation keeps the last whole package (" +
                                     outcome.items.reason() + ")");
      break;
    }
    finishProgress(bar);
    // The launcher's application does not report a failed index write (the
    // next run simply applies the package again); the operator is told.
    if (!outcome.indexSaved.ok()) {
      status =
          fail(kExitFailed, "the index could not be written after " + package + ": " + outcome.indexSaved.reason());
      break;
    }
    std::printf("applied %s: installation now at version %u\n", package.c_str(), archive::archiveSet.baseVersion);
  }
  core::setRepaintHandler(nullptr);
  archive::closeArchiveSet(archive::archiveSet);
  return status;
}

int runCompact(const Args& args) {
  if (args.size() != 1) return fail(kExitUsage, "usage: vlm-patch compact INSTALL_DIR");
  std::string error;
  if (!enterInstallation(args[0], &error)) return fail(kExitFailed, error);
  CompactResult result;
  if (!compactInstallation(&result, &error)) return fail(kExitFailed, error);
  std::printf("compacted %d archives: %.1f MiB -> %.1f MiB\n", result.archivesRewritten, mib(result.bytesBefore),
              mib(result.bytesAfter));
  return kExitOk;
}

}  // namespace vlmpatch
