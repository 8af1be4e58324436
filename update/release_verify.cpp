#include "update/release_verify.h"

#include <cstdio>
#include <ctime>
#include <map>

#include "core/log.h"
#include "core/paths.h"
#include "platform/file.h"
#include "platform/test_hooks.h"
#include "update/download.h"
#include "update/release_check.h"
#include "update/server_files.h"
#include "update/versions.h"

namespace update {

namespace {

struct AcceptedRelease {
  bool accepted = false;
  ReleaseRecord record;
  std::map<std::uint32_t, std::vector<FileDigest>> blocks;  // block number -> its patches
};

AcceptedRelease acceptedRelease;
// Whether the trace said that this build verifies nothing: once a process.
bool keylessNoticeGiven = false;
// The build's keys, or in a test build those a test set instead.
const std::vector<PublicKey>& keys() {
#if defined(VLM_TEST_HOOKS)
  static std::string parsedFrom;
  static std::vector<PublicKey> forTests;
  const std::string& text = platform::trustedKeysForTests();
  if (!text.empty()) {
    if (text != parsedFrom) {
      forTests.clear();
      parsePublicKeyList(text, &forTests, nullptr);
      parsedFrom = text;
    }
    return forTests;
  }
#endif
  return trustedKeys();
}

std::string besideLauncher(const std::string& name) { return core::exeDirectory() + "\\" + name; }

void refuse(const std::string& why) { core::debugLog("Release check failed: %s.", why.c_str()); }

}  // namespace

bool releaseChecksOn() { return !keys().empty(); }

const ReleaseRecord* acceptedReleaseRecord() {
  return releaseChecksOn() && acceptedRelease.accepted ? &acceptedRelease.record : nullptr;
}

const std::vector<PublicKey>& checkingKeys() { return keys(); }

void resetAcceptedRelease() {
  acceptedRelease = AcceptedRelease();
  keylessNoticeGiven = false;
}

bool acceptRelease() { return acceptRelease(currentPatchServer()); }

bool acceptRelease(const std::string& baseUrl) {
  acceptedRelease = AcceptedRelease();
  if (!releaseChecksOn()) {
    if (!keylessNoticeGiven)
      core::debugLog("This launcher was built without release keys: downloads are not verified.");
    keylessNoticeGiven = true;
    return true;
  }
  // This platform's record, no longer than the list's latestPatch allows:
  // a server that sends more cannot hold the pass up past that bound.
  const char* name = thisPlatformFiles().record;
  const std::string local = besideLauncher(name);
  const std::string url = baseUrl + "/" + name;
  const std::size_t largest = largestReleaseRecordSize(launcherVersions.latestPatch);
  std::string bytes, why;
  bool fetched =
      downloadFileUpTo(url.c_str(), local.c_str(), largest) && platform::readSmallFile(local.c_str(), largest, &bytes);
  platform::deleteFile(local.c_str());
  if (!fetched) {
    refuse("the release record could not be fetched");
    return false;
  }
  ReleaseRecord record;
  PublishedNumbers published{launcherVersions.latestPatch, launcherVersions.latestLauncher,
                             launcherVersions.latestClient};
  std::uint64_t highest = readAcceptedSequence();
  std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
  if (!decodeReleaseRecord(bytes, &record, &why) ||
      !checkReleaseRecord(record, keys(), published, highest, now, &why)) {
    refuse(why);
    return false;
  }
  if (record.sequence > highest && !writeAcceptedSequence(record.sequence))
    core::debugLog("The release's sequence could not be recorded.");
  acceptedRelease.accepted = true;
  acceptedRelease.record = record;
  core::debugLog("Release %llu verified.", static_cast<unsigned long long>(record.sequence));
  return true;
}

const FileDigest* expectedLauncher() { return releaseChecksOn() ? &acceptedRelease.record.launcher : nullptr; }

const FileDigest* expectedClient() { return releaseChecksOn() ? &acceptedRelease.record.client : nullptr; }

bool expectedPatch(std::uint32_t n, const FileDigest** digest) {
  *digest = nullptr;
  if (!releaseChecksOn()) return true;
  const ReleaseRecord& record = acceptedRelease.record;
  if (!acceptedRelease.accepted || n == 0 || n > record.latestPatch) {
    refuse("patch " + std::to_string(n) + " is not part of the accepted release");
    return false;
  }
  std::uint32_t k = blockOfPatch(n, record.blockPatches);
  auto found = acceptedRelease.blocks.find(k);
  if (found == acceptedRelease.blocks.end()) {
    char name[32];
    std::snprintf(name, sizeof name, kReleaseBlockNameFormat, k);
    std::uint32_t count = patchesInBlock(k, record.latestPatch, record.blockPatches);
    FileDigest blockDigest;
    blockDigest.size = static_cast<std::uint64_t>(count) * kFileDigestSize;
    blockDigest.sha256 = record.blockDigests[k];
    const std::string local = besideLauncher(name);
    std::string bytes, why;
    std::vector<FileDigest> patches;
    bool ok = downloadFromPatchServers(name, local.c_str(), &blockDigest) &&
              platform::readSmallFile(local.c_str(), static_cast<std::size_t>(blockDigest.size), &bytes) &&
              decodePatchBlock(bytes, count, &patches, &why);
    platform::deleteFile(local.c_str());
    if (!ok) {
      refuse(std::string(name) + " could not be had" + (why.empty() ? "" : ": " + why));
      return false;
    }
    found = acceptedRelease.blocks.emplace(k, std::move(patches)).first;
  }
  const FileDigest& patch = found->second[placeInBlock(n, record.blockPatches)];
  // Size 0 and a digest of zeros: a server started for players at a later
  // version vouches for no file under this number, so there is nothing to
  // fetch.
  if (patch.size == 0 && patch.sha256 == Sha256Digest{}) {
    refuse("patch " + std::to_string(n) +
           " is not published by this release (size 0, a digest of zeros): it is not fetched");
    return false;
  }
  *digest = &patch;
  return true;
}

}  // namespace update
