#include "tools/vlm_patch/repair_check.h"

#include <filesystem>

#include "archive/patch_package.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "tools/vlm_patch/lone_package.h"
#include "tools/vlm_patch/package_build.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/release_check.h"

namespace vlmpatch {

namespace {

// One item of the list as its pack must hold it.
struct ListedItem {
  std::uint32_t key = 0;
  const std::string* name = nullptr;  // a loose file's, else nullptr
  std::uint64_t size = 0;
  const update::Sha256Digest* sha256 = nullptr;
};

std::string describe(const ListedItem& item) {
  return item.name ? "\"" + *item.name + "\"" : "key " + std::to_string(item.key);
}

bool itemDigest(const archive::PatchPackage& package, const archive::PatchItem& item, update::Sha256Digest* digest) {
  platform::Sha256 hash;
  std::vector<unsigned char> buffer(1 << 20);
  for (std::uint64_t done = 0; done < item.dataLength;) {
    std::size_t length =
        static_cast<std::size_t>(item.dataLength - done < buffer.size() ? item.dataLength - done : buffer.size());
    if (!archive::readPatchItemData(package, item, done, buffer.data(), length) || !hash.update(buffer.data(), length))
      return false;
    done += length;
  }
  return hash.finish(digest->data());
}

// The pack's package against the items the list gives it; "" when it holds
// exactly them.
std::string packProblem(const std::string& packagePath, const std::vector<ListedItem>& listed) {
  archive::PatchPackage package;
  std::string error;
  if (!readPackageForShow(packagePath, &package, &error)) return error;
  std::string problem;
  const std::uint8_t type = listed.front().name ? 3 : 1;
  if (package.version != update::kRepairPackageVersion) {
    problem = "its package carries version " + std::to_string(package.version) + ", not " +
              std::to_string(update::kRepairPackageVersion);
  } else if (package.type != type) {
    problem = "its package is of type " + std::to_string(package.type) + ", the list gives it type " +
              std::to_string(type) + " items";
  } else if (package.items.size() != listed.size()) {
    problem = "its package holds " + std::to_string(package.items.size()) + " items, the list gives it " +
              std::to_string(listed.size());
  }
  for (std::size_t i = 0; problem.empty() && i < listed.size(); ++i) {
    const archive::PatchItem& item = package.items[i];
    const ListedItem& want = listed[i];
    update::Sha256Digest digest;
    if (want.name ? item.name != *want.name : item.key != want.key)
      problem = "item " + std::to_string(i) + " is not " + describe(want);
    else if (item.dataLength != want.size)
      problem = describe(want) + " holds " + std::to_string(item.dataLength) + " bytes, the list says " +
                std::to_string(want.size);
    else if (!itemDigest(package, item, &digest))
      problem = describe(want) + " cannot be read";
    else if (digest != *want.sha256)
      problem = describe(want) + ": its bytes are not those the list gives";
  }
  archive::closePatchPackage(package);
  return problem;
}

}  // namespace

RepairCheck checkRepairSet(const std::string& serverDir, const update::ReleaseRecord* release,
                           std::uint32_t latestPatch, const std::vector<update::PublicKey>& keys) {
  RepairCheck check;
  const std::string recordPath = joinPath(serverDir, update::kRepairRecordName);
  if (!platform::pathExists(recordPath.c_str())) return check;
  check.present = true;
  std::string bytes, why;
  update::RepairRecord record;
  if (!platform::readSmallFile(recordPath.c_str(), update::kMaxRepairRecordSize, &bytes) ||
      !update::decodeRepairRecord(bytes, &record, &why)) {
    check.problems.push_back(std::string(update::kRepairRecordName) + ": " + (why.empty() ? "cannot be read" : why));
    return check;
  }
  check.dataVersion = record.dataVersion;
  check.packs = record.packs.size();
  if (!release) {
    check.problems.push_back(std::string(update::kRepairRecordName) +
                             ": the server has no release record, and launchers take a repair set only beside one");
  } else if (!keys.empty() && !update::checkRepairRecord(record, keys, *release, &why)) {
    check.problems.push_back(why);
  } else if (keys.empty() && (record.sequence != release->sequence || record.expiresAt != release->expiresAt)) {
    check.problems.push_back(std::string(update::kRepairRecordName) + ": signed for another release (sequence " +
                             std::to_string(record.sequence) + ", the release's " + std::to_string(release->sequence) +
                             "): sign the server again");
  }
  if (record.dataVersion > latestPatch)
    check.problems.push_back(std::string(update::kRepairRecordName) + ": version " +
                             std::to_string(record.dataVersion) + " is above the latest patch " +
                             std::to_string(latestPatch));

  const std::string listName = update::repairFileName(record.contentList, ".lst");
  const std::string listPath = joinPath(serverDir, listName);
  update::ContentList list;
  if (!update::fileMatchesDigest(listPath.c_str(), record.contentList, &why)) {
    check.problems.push_back(listName + ": " + why);
    return check;
  }
  if (!platform::readSmallFile(listPath.c_str(), static_cast<std::size_t>(record.contentList.size), &bytes) ||
      !update::decodeContentList(bytes, record.dataVersion, static_cast<std::uint32_t>(record.packs.size()), &list,
                                 &why)) {
    check.problems.push_back(listName + ": " + (why.empty() ? "cannot be read" : why));
    return check;
  }
  check.keys = list.keys.size();
  check.files = list.files.size();

  std::vector<std::vector<ListedItem>> byPack(record.packs.size());
  for (const update::RepairKey& key : list.keys) byPack[key.pack].push_back({key.key, nullptr, key.size, &key.sha256});
  for (const update::RepairFile& file : list.files)
    byPack[file.pack].push_back({0, &file.name, file.size, &file.sha256});
  PrivateTempDirectory scratch;
  if (!scratch.made()) {
    check.problems.push_back("no temporary directory to open the packs in");
    return check;
  }
  const std::string extracted = scratch.file(update::kRepairPackageName);
  std::error_code ignored;
  for (std::size_t p = 0; p < record.packs.size(); ++p) {
    const std::string name = update::repairFileName(record.packs[p], ".rar");
    const std::string path = joinPath(serverDir, name);
    std::string problem;
    if (byPack[p].empty())
      problem = "the list gives it no item";
    else if (!update::fileMatchesDigest(path.c_str(), record.packs[p], &why))
      problem = why;
    else if (std::filesystem::remove(extracted, ignored),
             !extractLonePackage(path, update::kRepairPackageName, extracted, &why))
      problem = why;
    else
      problem = packProblem(extracted, byPack[p]);
    if (!problem.empty()) check.problems.push_back(name + " (pack " + std::to_string(p) + "): " + problem);
  }
  return check;
}

}  // namespace vlmpatch
