#include "update/update_driver.h"

#include <string>

#include "archive/index.h"
#include "core/display_state.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/status_text.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/message_box.h"
#include "platform/process.h"
#include "update/download.h"
#include "update/game_start.h"
#include "update/launcher_replace.h"
#include "update/leftovers.h"
#include "update/patch_loop.h"
#include "update/program_kind.h"
#include "update/release_check.h"
#include "update/release_verify.h"
#include "update/repair.h"
#include "update/server_files.h"
#include "update/versions.h"

namespace update {

// Local names are built as whole strings: a deep launcher directory must not
// be cut to a different name.
static std::string besideLauncher(const char* name) { return core::exeDirectory() + "\\" + name; }

// Reads a downloaded launcher or client once: its size and SHA-256, and
// whether it is a program for this system (update/program_kind.h), judged
// on the very bytes hashed. A keyed launcher's download matched the release
// as it arrived; it must still be that file now. False, with the reason in
// the trace, when the file is to be refused: nothing is put in place then.
static bool checkNewProgram(const std::string& path, const char* what, const FileDigest* expected, FileDigest* digest) {
  const std::string name = downloadDisplayName(path.c_str());
  std::string head, why;
  bool ok = digestOfFile(path.c_str(), digest, &why, &head, kProgramHeadBytes);
  if (ok && expected && (digest->size != expected->size || digest->sha256 != expected->sha256)) {
    why = name + " changed after its download";
    ok = false;
  }
  if (ok) {
    ok = isProgramForThisSystem(reinterpret_cast<const unsigned char*>(head.data()), head.size(), name, &why);
  }
  if (!ok) core::debugLog("The new %s is refused: %s.", what, why.c_str());
  return ok;
}

// A new launcher: left as "launcher.bin" for the update program, which puts
// it in place once this process has ended, and only when it is the launcher
// checked here (its size and SHA-256 go on the update program's command
// line). Returns only on failure.
static void runSelfUpdate() {
  // Started again by the update program after it could not put the new
  // launcher in place: "cver.v" already asks for it again, and the next run
  // fetches it. Fetching it now could go round for ever.
  if (startedAfterFailedSelfUpdate()) {
    core::debugLog("The update program could not put the new launcher in place; the next run fetches it again.");
    requestGameStart();
    return;
  }
  std::string local = besideLauncher(kNewLauncherName);
  const FileDigest* expected = update::expectedLauncher();
  FileDigest checked;
  if (downloadFromPatchServers(thisPlatformFiles().launcher, local.c_str(), expected)) {
    if (checkNewProgram(local, "launcher", expected, &checked)) {
      launcherVersions.launcherVersion = launcherVersions.latestLauncher;
      writeVersionFile();
      platform::startProcess(updateProgramCommandLine(checked).c_str());
      platform::exitProcessNormally(0);
    }
    platform::deleteFile(local.c_str());
  }
  platform::showMessageBox(core::lookupStatusText("FAIL_DOWNLOAD"), "Error updating.");
  requestGameStart();
}

// A new game client executable. True when it is in place.
static bool runClientUpdate() {
  platform::sleepMs(kClientUpdateWaitMs);
  std::string local = besideLauncher(kNewClientName);
  std::string installed = besideLauncher(thisPlatformFiles().client);
  const FileDigest* expected = update::expectedClient();
  FileDigest checked;
  // The new client goes in place in one step, so a failure half-way never
  // leaves a broken client; one that is no program for this system, or that
  // cannot be put in place (the client is running, say), is a failed update
  // and its version is not recorded.
  if (!downloadFromPatchServers(thisPlatformFiles().client, local.c_str(), expected) ||
      !checkNewProgram(local, "client", expected, &checked) ||
      !platform::replaceFileAtomically(local.c_str(), installed.c_str())) {
    platform::deleteFile(local.c_str());
    platform::showMessageBox(core::lookupStatusText("FAIL_DOWNLOAD"), "Error updating");
    requestGameStart();
    return false;
  }
  // A download is stored without execute bits, and a fresh installation
  // has no client whose mode the new one could take.
  platform::Status runnable = platform::makeRunnable(installed.c_str());
  if (!runnable.ok()) core::debugLog("The new client may not start: %s.", runnable.reason().c_str());
  launcherVersions.clientVersion = launcherVersions.latestClient;
  writeVersionFile();
  return true;
}

static update::PublishedNumbers publishedNumbers() {
  return {launcherVersions.latestPatch, launcherVersions.latestLauncher, launcherVersions.latestClient};
}

static void setPublishedNumbers(const update::PublishedNumbers& numbers) {
  launcherVersions.latestPatch = numbers.latestPatch;
  launcherVersions.latestLauncher = numbers.latestLauncher;
  launcherVersions.latestClient = numbers.latestClient;
}

// A keyed launcher decides nothing on numbers the operator did not sign, and
// judges a patch list only beside the release record of the same server.
// The list in hand came from the current server, so its record is fetched
// from there; when that pair is refused (a stale, half-synced or damaged
// mirror), the next server's pair is fetched afresh, its list first, read
// as if it were the first (`before`: the numbers before any list was
// read), then its record. A launcher without keys accepts the list in hand.
static bool acceptReleaseOfOneServer(const update::PublishedNumbers& before) {
  bool listInHand = true;
  const std::string what = std::string("patch.hpl and ") + thisPlatformFiles().record;
  return tryPatchServers(what, [&](const std::string& baseUrl) {
    if (!listInHand) {
      setPublishedNumbers(before);
      std::string url = baseUrl + "/patch.hpl";
      bool read = downloadFileUpTo(url.c_str(), "patch.hpl", kMaxPatchListSize) && readPatchList("patch.hpl");
      platform::deleteFile(besideLauncher("patch.hpl").c_str());
      if (!read) return false;
    }
    listInHand = false;
    return update::acceptRelease(baseUrl);
  });
}

// A repair or a release that failed ends the pass as a failed patch loop
// does: its box shown, no game start, the window left open.
static bool passHalted = false;

// Whether this pass repairs the installation, and why: only a launcher that
// checks releases can (the repair set is signed).
static bool repairDue(RepairReason* reason) {
  if (!releaseChecksOn()) return false;
  if (!archive::indexLoaded) {
    *reason = RepairReason::kIndexUnreadable;
  } else if (repairUnfinished()) {
    *reason = RepairReason::kUnfinished;
  } else if (!startCheck().ok()) {
    *reason = RepairReason::kQuickCheckFailed;
  } else if (repairAsked()) {
    *reason = RepairReason::kPlayerAsked;
  } else {
    return false;
  }
  return true;
}

// Runs the repair when one is due; false when the pass must end (its box
// shown where there is one).
static bool repairWhenDue() {
  RepairReason reason;
  if (!repairDue(&reason)) return true;
  switch (repairInstallation(reason)) {
    case RepairResult::kRepaired:
      return true;
    case RepairResult::kNoRepairSet:
      // Nothing to repair from: the pass goes on as it always did, which
      // without an index is not at all.
      return archive::indexLoaded;
    case RepairResult::kFailedDownload:
      platform::showMessageBox(core::lookupStatusText("FAIL_DOWNLOAD"), "");
      return false;
    case RepairResult::kFailedExtract:
      platform::showMessageBox(core::lookupStatusText("FAIL_EXTRACT"), "");
      return false;
    case RepairResult::kNoSpace:
      return false;
  }
  return false;
}

std::uint16_t checkForUpdates() {
  passHalted = false;
  if (!archive::indexLoaded && !releaseChecksOn()) return 0;
  const update::PublishedNumbers before = publishedNumbers();
  if (!readPatchList("patch.hpl")) return 0;
  if (!readVersionFile()) return 0;
  platform::deleteFile(besideLauncher("patch.hpl").c_str());
  // Without an accepted release the pass goes on as after a failed patch
  // list download.
  if (!acceptReleaseOfOneServer(before)) {
    platform::showMessageBox(core::lookupStatusText("FAIL_DOWNLOAD"), "");
    // Without an index there is no game to start.
    if (archive::indexLoaded) {
      requestGameStart();
    } else {
      passHalted = true;
    }
    return 0;
  }

  if (launcherVersions.launcherVersion < launcherVersions.latestLauncher) {
    runSelfUpdate();
    return 0;
  }
  if (launcherVersions.clientVersion < launcherVersions.latestClient && !runClientUpdate()) return 0;
  if (!repairWhenDue()) {
    passHalted = true;
    return 0;
  }
  if (launcherVersions.latestPatch <= archive::installedVersion) {
    requestGameStart();
    return 0;
  }
  return static_cast<std::uint16_t>(archive::installedVersion + 1);
}

void runUpdate() {
  // Without an index there is nothing to patch, unless the launcher checks
  // releases and can rebuild it from the server's repair set.
  if (!archive::indexLoaded && !releaseChecksOn()) return;
  removeLeftoversOfEarlierRuns();
  beginPatchServerRun();
  if (!downloadFromPatchServersUpTo("patch.hpl", "patch.hpl", kMaxPatchListSize)) {
    platform::showMessageBox(core::lookupStatusText("FAIL_DOWNLOAD"), "");
    requestGameStart();
    platform::deleteFile("patch.hpl");
    return;
  }
  std::uint16_t first = checkForUpdates();
  if (first == 0) {
    if (passHalted) {
      platform::deleteFile("patch.hpl");
      return;
    }
    requestGameStart();
    platform::deleteFile("patch.hpl");
    return;
  }
  if (!runPatchLoop(first)) {
    platform::deleteFile("patch.hpl");
    return;
  }
  requestGameStart();
}

namespace {

archive::QuickCheckResult lastStartCheck = archive::unreadableIndex("the installation was not checked yet");

void traceStartCheck(const archive::QuickCheckResult& check) {
  if (!check.indexRead) {
    core::debugLog("Installation check: the index cannot be read: %s", check.indexProblem.c_str());
    return;
  }
  if (check.ok()) {
    core::debugLog("Installation check: %u archive%s, %llu entr%s, every archive whole.",
                   static_cast<unsigned>(check.archives), check.archives == 1 ? "" : "s",
                   static_cast<unsigned long long>(check.entries), check.entries == 1 ? "y" : "ies");
    return;
  }
  core::debugLog("Installation check: %u of %u archives damaged:", static_cast<unsigned>(check.problems.size()),
                 static_cast<unsigned>(check.archives));
  for (const archive::ArchiveProblem& problem : check.problems)
    core::debugLog("Installation check: %s", archive::describeArchiveProblem(problem).c_str());
}

}  // namespace

const archive::QuickCheckResult& loadAndCheckInstallation() {
  platform::Status loaded = archive::loadIndexWithReason();
  lastStartCheck =
      loaded.ok() ? archive::quickCheckArchives(archive::archiveSet) : archive::unreadableIndex(loaded.reason());
  traceStartCheck(lastStartCheck);
  return lastStartCheck;
}

const archive::QuickCheckResult& startCheck() { return lastStartCheck; }

void UpdateWorker() {
  // A damaged installation is repaired in the pass, where the launcher can
  // (update/repair.h); elsewhere the pass goes on as it always did.
  static_cast<void>(loadAndCheckInstallation());
  runUpdate();
  core::updateDisplay([](core::DisplayState& state) {
    state.fileProgress = 1;
    state.fileProgressMax = 1;
    state.totalProgress = 1;
    state.totalProgressMax = 1;
  });
}

}  // namespace update
