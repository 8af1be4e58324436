#include "update/repair.h"

#include <cstdio>
#include <string>
#include <vector>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "archive/patch_apply.h"
#include "archive/storage.h"
#include "core/display_state.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/status_text.h"
#include "platform/file.h"
#include "platform/test_hooks.h"
#include "update/download.h"
#include "update/rar_extract.h"
#include "update/release_check.h"
#include "update/release_verify.h"
#include "update/repair_set.h"
#include "update/repair_verify.h"
#include "update/space_check.h"

namespace update {

namespace {

std::string besideLauncher(const std::string& name) { return core::exeDirectory() + "\\" + name; }

void removeLocal(const char* name) { platform::deleteFile(besideLauncher(name).c_str()); }

// The status line's text and a whole percentage, and the lower bar.
void showStep(const char* key, std::uint64_t done, std::uint64_t total) {
  unsigned percent = total ? static_cast<unsigned>(done * 100 / total) : 100;
  char line[sizeof core::displayState.statusText];
  std::snprintf(line, sizeof line, "%s%u%%", core::lookupStatusText(key), percent);
  core::updateDisplay([&](core::DisplayState& state) {
    core::setStatusText(state, line);
    state.totalProgressMax = 100;
    state.totalProgress = percent;
  });
}

bool markRepairPending() {
  platform::File file(platform::createFileNoFollow(besideLauncher(kRepairPendingName).c_str()));
  return file && platform::writeFileAt(file.get(), 0, "1", 1).ok() && platform::flushFileToDisk(file.get()).ok();
}

// The repair record of the accepted release, checked; false (with the
// trace saying why) when the servers publish none or none that this
// release vouches for.
bool fetchRepairRecord(const ReleaseRecord& release, RepairRecord* record, bool* refused) {
  *refused = false;
  const std::string local = besideLauncher(kRepairRecordLocal);
  bool fetched = downloadFromPatchServersUpTo(kRepairRecordName, local.c_str(), kMaxRepairRecordSize);
  std::string bytes, why;
  bool read = fetched && platform::readSmallFile(local.c_str(), kMaxRepairRecordSize, &bytes);
  removeLocal(kRepairRecordLocal);
  if (!read) {
    core::debugLog("Repair: the patch servers publish no repair set.");
    return false;
  }
  if (!decodeRepairRecord(bytes, record, &why) || !checkRepairRecord(*record, checkingKeys(), release, &why)) {
    core::debugLog("Repair: %s.", why.c_str());
    *refused = true;
    return false;
  }
  return true;
}

bool fetchContentList(const RepairRecord& record, ContentList* list) {
  const std::string local = besideLauncher(kRepairListLocal);
  bool fetched =
      downloadFromPatchServers(repairFileName(record.contentList, ".lst"), local.c_str(), &record.contentList);
  std::string bytes, why;
  bool read =
      fetched && platform::readSmallFile(local.c_str(), static_cast<std::size_t>(record.contentList.size), &bytes);
  removeLocal(kRepairListLocal);
  if (!read) return false;
  if (!decodeContentList(bytes, record.dataVersion, static_cast<std::uint32_t>(record.packs.size()), list, &why)) {
    // Signed, yet not a list: the operator's tool never writes one.
    core::debugLog("Repair: %s.", why.c_str());
    return false;
  }
  return true;
}

// The index the repair works on: the loaded one, lowered to the repair
// set's version when it is above; or, when "data.idx" could not be read, a
// new empty one (the damaged file kept as "data.idx.damaged"), whose
// archives the packs fill afresh.
bool prepareIndex(std::uint32_t dataVersion, bool* startedAnew) {
  *startedAnew = false;
  if (!archive::indexLoaded) {
    const std::string index = besideLauncher(archive::kIndexFileName);
    const std::string kept = index + ".damaged";
    if (platform::pathExists(index.c_str()) && !platform::replaceFileAtomically(index.c_str(), kept.c_str()))
      core::debugLog("Repair: the unreadable data.idx could not be set aside.");
    if (!archive::writeIndexFile(index.c_str(), 0, {}).ok()) {
      core::debugLog("Repair: a new data.idx could not be written.");
      return false;
    }
    archive::loadIndex();
    if (!archive::indexLoaded) return false;
    core::debugLog("Repair: started a new data.idx; the damaged one is data.idx.damaged.");
    *startedAnew = true;
    return true;
  }
  if (archive::archiveSet.baseVersion <= dataVersion) return true;
  core::debugLog("Repair: version %u lowered to the repair set's %u; the patches above it follow.",
                 archive::archiveSet.baseVersion, dataVersion);
  archive::archiveSet.baseVersion = dataVersion;
  archive::installedVersion = dataVersion;
  return archive::saveIndex(archive::archiveSet).ok();
}

void traceDamage(const VerifyOutcome& outcome) {
  std::size_t unindexed = 0;
  for (const DamagedItem& item : outcome.damaged) {
    if (item.isKey && item.reason == "the index cannot be read") {
      ++unindexed;
    } else if (item.isKey) {
      core::debugLog("Repair: key 0x%08X (pack %u): %s.", item.key, item.pack, item.reason.c_str());
    } else {
      core::debugLog("Repair: %s (pack %u): %s.", item.name.c_str(), item.pack, item.reason.c_str());
    }
  }
  if (unindexed)
    core::debugLog("Repair: %lu keys: the index cannot be read; every pack of keys is fetched.",
                   static_cast<unsigned long>(unindexed));
}

// Once the packs are in, entries that the release does not list may remain
// in an archive whose file is gone or cut short: their bytes are lost, no
// one can read them, and the quick check would find them at every start; so
// they are dropped. An archive left with no entry and no file gets an empty
// one: the index lists it, and the quick check wants every archive there.
// Anything else at an archive's name (a link, a directory) is left alone
// and traced.
void settleDamagedArchives() {
  for (const auto& slot : archive::archiveSet.archives) {
    archive::Archive* held = slot->archive.get();
    if (!held) continue;
    platform::NameFacts facts;
    if (!platform::inspectNameNoFollow(held->name.c_str(), &facts).ok()) continue;
    if (facts.kind != platform::NameKind::kFile && facts.kind != platform::NameKind::kMissing) {
      core::debugLog("Repair: %s is not a plain file; it stays as it is.", held->name.c_str());
      continue;
    }
    std::vector<std::uint32_t> lost;
    for (const archive::FileEntry& entry : archive::liveEntries(*held))
      if (static_cast<std::uint64_t>(entry.offset) + entry.size > facts.size) lost.push_back(entry.key);
    for (std::uint32_t key : lost) {
      core::debugLog("Repair: key 0x%08X, which the release does not hold, lost its bytes in %s; dropped.", key,
                     held->name.c_str());
      archive::removeEntryByKey(archive::archiveSet, key);
    }
    if (facts.kind == platform::NameKind::kMissing && archive::liveEntries(*held).empty()) {
      platform::File made(platform::createFileNoFollow(held->name.c_str()));
      core::debugLog(made ? "Repair: %s, which holds nothing now, is there again, empty."
                          : "Repair: %s, which holds nothing now, could not be made again.",
                     held->name.c_str());
    }
  }
}

// Fetches, checks, extracts and applies one pack.
RepairResult applyPack(const RepairRecord& record, std::uint32_t pack) {
  const FileDigest& digest = record.packs[pack];
  const std::string name = repairFileName(digest, ".rar");
  const std::string local = besideLauncher(kRepairPackLocal);
  core::debugLog("Repair: fetching pack %u, %s (%llu bytes).", pack, name.c_str(),
                 static_cast<unsigned long long>(digest.size));
  std::uint64_t missing = 0;
  if (!roomFor(("fetch pack " + std::to_string(pack)).c_str(),
               spaceToFetchPatch(digest.size, archive::indexFileSize(archive::archiveSet)), &missing)) {
    showSpaceFailure(missing);
    return RepairResult::kNoSpace;
  }
  if (!downloadFromPatchServers(name, local.c_str(), &digest)) return RepairResult::kFailedDownload;
  platform::powerLossPoint();
  bool extracted = extractPatchArchive(local.c_str(), kRepairPackageName);
  removeLocal(kRepairPackLocal);
  if (!extracted) return RepairResult::kFailedExtract;
  platform::powerLossPoint();
  const std::string package = besideLauncher(kRepairPackageName);
  archive::PatchOutcome applied = archive::applyPatchPackageWithOutcome(
      package.c_str(), archive::SpaceCheck::kBeforeItems, archive::SetVersion::kKept);
  if (applied.space.tooLittle) {
    showSpaceFailure(applied.space.needed - applied.space.available);
    return RepairResult::kNoSpace;
  }
  if (!applied.items.ok() || !applied.indexSaved.ok()) {
    core::debugLog("Repair: pack %u was not applied: %s", pack,
                   (applied.items.ok() ? applied.indexSaved : applied.items).reason().c_str());
    return RepairResult::kFailedExtract;
  }
  platform::powerLossPoint();
  return RepairResult::kRepaired;
}

}  // namespace

namespace {
bool repairAskedAtStart = false;
}  // namespace

bool asksForRepair(const std::vector<std::string>& words) {
  for (const std::string& word : words)
    if (word == kRepairWord) return true;
  return false;
}

void setRepairAsked(bool asked) { repairAskedAtStart = asked; }

bool repairAsked() { return repairAskedAtStart; }

const char* describeRepairReason(RepairReason reason) {
  switch (reason) {
    case RepairReason::kIndexUnreadable:
      return "data.idx cannot be read";
    case RepairReason::kQuickCheckFailed:
      return "the quick check found damaged archives";
    case RepairReason::kPlayerAsked:
      return "the player asked for it";
    case RepairReason::kUnfinished:
      return "an earlier repair did not end";
  }
  return "";
}

bool repairUnfinished() { return platform::pathExists(besideLauncher(kRepairPendingName).c_str()); }

RepairResult repairInstallation(RepairReason reason) {
  core::debugLog("Repair: %s.", describeRepairReason(reason));
  const ReleaseRecord* release = acceptedReleaseRecord();
  if (!release) {
    core::debugLog("Repair: no signed release accepted in this run; nothing can be repaired from it.");
    return RepairResult::kNoRepairSet;
  }
  RepairRecord record;
  bool refused = false;
  if (!fetchRepairRecord(*release, &record, &refused))
    return refused ? RepairResult::kFailedDownload : RepairResult::kNoRepairSet;
  ContentList list;
  if (!fetchContentList(record, &list)) return RepairResult::kFailedDownload;
  core::debugLog("Repair: the repair set of version %u: %lu keys and %lu files in %lu packs.", record.dataVersion,
                 static_cast<unsigned long>(list.keys.size()), static_cast<unsigned long>(list.files.size()),
                 static_cast<unsigned long>(record.packs.size()));

  if (!markRepairPending()) core::debugLog("Repair: repair.v could not be written; a cut repair starts afresh.");
  platform::powerLossPoint();
  bool startedAnew = false;
  if (!prepareIndex(record.dataVersion, &startedAnew)) return RepairResult::kFailedExtract;
  platform::powerLossPoint();

  VerifyOptions options;
  options.progress = [](std::uint64_t done, std::uint64_t total) { showStep("REPAIR_VERIFY", done, total); };
  // A new index lists nothing: every key is to be fetched, and the trace
  // says so once rather than once a key.
  const VerifyOutcome verified = verifyInstallation(list, startedAnew ? nullptr : &archive::archiveSet, options);
  core::debugLog("Repair: verified %llu bytes; %lu items damaged, in %lu packs.",
                 static_cast<unsigned long long>(verified.bytesVerified),
                 static_cast<unsigned long>(verified.damaged.size()),
                 static_cast<unsigned long>(verified.packs.size()));
  traceDamage(verified);

  for (std::size_t i = 0; i < verified.packs.size(); ++i) {
    showStep("REPAIR_PROGRESS", i, verified.packs.size());
    RepairResult applied = applyPack(record, verified.packs[i]);
    if (applied != RepairResult::kRepaired) return applied;
  }

  settleDamagedArchives();
  archive::archiveSet.baseVersion = record.dataVersion;
  if (!archive::saveIndex(archive::archiveSet).ok()) return RepairResult::kFailedExtract;
  archive::installedVersion = record.dataVersion;
  platform::powerLossPoint();
  removeLocal(kRepairPendingName);
  core::updateDisplay([](core::DisplayState& state) {
    core::setStatusText(state, core::lookupStatusText("REPAIR_DONE"));
    state.totalProgressMax = 100;
    state.totalProgress = 100;
  });
  core::debugLog("Repair: done; %lu packs applied, the installation is at version %u.",
                 static_cast<unsigned long>(verified.packs.size()), record.dataVersion);
  return RepairResult::kRepaired;
}

}  // namespace update
