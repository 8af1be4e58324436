#include "tools/vlm_patch/repair_set_build.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "archive/package_writer.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "tools/rar_writer/rar_writer.h"
#include "update/release_check.h"

namespace vlmpatch {

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kPackageHeaderBytes = 6;
constexpr std::size_t kMaxPackItems = 0xFFFF;

// One key or loose file of the release, where its bytes are.
struct SourceItem {
  std::uint32_t key = 0;
  std::uint32_t archive = 0;  // position in the release's index
  std::uint32_t offset = 0;
  std::string name;  // a loose file's; empty for a key
  std::uint64_t size = 0;
};

// What the package holds for an item besides its data (package_format.h).
std::uint64_t itemBytes(const SourceItem& item) {
  return item.name.empty() ? 8 + item.size : 8 + item.name.size() + item.size;
}

std::vector<SourceItem> releaseKeys(const InstallTree& tree) {
  std::vector<SourceItem> keys;
  for (std::size_t a = 0; a < tree.index.archives.size(); ++a) {
    const archive::Archive* archive = tree.index.archives[a]->archive.get();
    if (!archive) continue;
    for (const archive::FileEntry& entry : archive::liveEntries(*archive))
      keys.push_back({entry.key, static_cast<std::uint32_t>(a), entry.offset, "", entry.size});
  }
  std::sort(keys.begin(), keys.end(), [](const SourceItem& a, const SourceItem& b) { return a.key < b.key; });
  return keys;
}

std::vector<SourceItem> releaseFiles(const InstallTree& tree) {
  std::vector<SourceItem> files;
  for (const LooseFile& file : tree.looseFiles) files.push_back({0, 0, 0, file.name, file.size});
  // Byte order, as the list keeps it: std::string compares as unsigned bytes.
  std::sort(files.begin(), files.end(), [](const SourceItem& a, const SourceItem& b) { return a.name < b.name; });
  return files;
}

// Reads an item's bytes for its package and hashes them on the way, so the
// list's digest is of the very bytes the pack holds.
class ItemSource {
 public:
  explicit ItemSource(const InstallTree& tree) : tree_(tree), archives_(tree.index.archives.size()) {}

  bool open(const SourceItem& item, std::string* error) {
    hash_ = std::make_unique<platform::Sha256>();
    failure_.clear();
    item_ = &item;
    if (!hash_->ready()) return fail(error, "the system's hash failed");
    if (!item.name.empty()) {
      path_ = treePath(tree_, item.name);
      file_ = platform::File(platform::openFileForReading(path_.c_str()));
      if (!file_) return fail(error, path_ + ": cannot be read: " + platform::lastSystemError());
      handle_ = file_.get();
      base_ = 0;
      return true;
    }
    platform::File& archive = archives_[item.archive];
    path_ = treePath(tree_, tree_.index.archives[item.archive]->archive->name);
    if (!archive) archive = platform::File(platform::openFileForReading(path_.c_str()));
    if (!archive) return fail(error, path_ + ": cannot be read: " + platform::lastSystemError());
    handle_ = archive.get();
    base_ = item.offset;
    return true;
  }

  void operator()(std::uint64_t from, char* buffer, std::size_t length) {
    if (failure_.empty()) {
      std::int64_t read = platform::readFileAt(handle_, base_ + from, buffer, length);
      if (read < 0)
        failure_ = platform::lastSystemError();
      else if (read != static_cast<std::int64_t>(length))
        failure_ = "it ends before the bytes its index or size gives";
    }
    if (!failure_.empty()) std::memset(buffer, 0, length);
    hash_->update(buffer, length);
  }

  // The digest of what was read; false with the reason when a read failed.
  bool finish(update::Sha256Digest* digest, std::string* error) {
    if (!failure_.empty()) return fail(error, path_ + " changed or could not be read: " + failure_);
    if (!hash_->finish(digest->data())) return fail(error, "the system's hash failed");
    return true;
  }

 private:
  static bool fail(std::string* error, const std::string& reason) {
    *error = reason;
    return false;
  }

  const InstallTree& tree_;
  std::vector<platform::File> archives_;
  platform::File file_;
  platform::FileHandle handle_ = platform::kNoFile;
  std::uint64_t base_ = 0;
  std::string path_;
  std::string failure_;
  const SourceItem* item_ = nullptr;
  std::unique_ptr<platform::Sha256> hash_;
};

// Writes one pack's package at path: the items [first, last) of one type.
bool writePackPackage(const std::string& path, const std::vector<SourceItem>& items, std::size_t first,
                      std::size_t last, ItemSource& source, std::vector<update::Sha256Digest>* digests,
                      std::string* error) {
  const std::uint8_t type = items[first].name.empty() ? 1 : 3;
  archive::PackageFileWriter writer;
  if (!archive::beginPackageFile(writer, path.c_str(), kPackSeed, update::kRepairPackageVersion, type,
                                 static_cast<std::uint16_t>(last - first))) {
    *error = "cannot write " + path + ": " + platform::lastSystemError();
    return false;
  }
  for (std::size_t i = first; i < last; ++i) {
    const SourceItem& item = items[i];
    if (!source.open(item, error)) return false;
    bool added = archive::addPackageItem(
        writer, item.key, item.name, static_cast<std::uint32_t>(item.size),
        [&source](std::uint64_t from, char* buffer, std::size_t length) { source(from, buffer, length); });
    if (!added) {
      *error = "cannot write " + path + ": " + platform::lastSystemError();
      return false;
    }
    update::Sha256Digest digest;
    if (!source.finish(&digest, error)) return false;
    digests->push_back(digest);
  }
  if (!archive::finishPackageFile(writer)) {
    *error = "cannot write " + path + ": " + platform::lastSystemError();
    return false;
  }
  return true;
}

// Puts the pack written at rarPath on the server under its digest's name,
// unless the server holds that very pack already.
bool stagePack(ServerChange& change, const std::string& rarPath, update::FileDigest* digest, bool* kept,
               std::string* error) {
  if (!update::digestOfFile(rarPath.c_str(), digest, error)) return false;
  const std::string name = update::repairFileName(*digest, ".rar");
  std::string differs;
  *kept = update::fileMatchesDigest(joinPath(change.directory(), name).c_str(), *digest, &differs);
  if (*kept) return true;
  std::error_code failed;
  fs::rename(rarPath, change.stagingPathFor(name), failed);
  if (failed) {
    *error = "cannot move " + rarPath + " into place: " + failed.message();
    return false;
  }
  return change.adopt(name, error);
}

}  // namespace

bool keyIsPackMark(std::uint32_t key) { return (key * 0x9E3779B1u) >> 26 == 0; }

bool nameIsPackMark(const std::string& name) {
  std::uint32_t hash = 2166136261u;  // FNV-1a
  for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
  return hash % 64 == 0;
}

std::vector<std::uint32_t> assignPacks(const std::vector<PackedItem>& items, std::uint64_t packSize) {
  std::vector<std::uint32_t> packs;
  packs.reserve(items.size());
  std::uint32_t pack = 0;
  std::uint64_t held = 0;  // package bytes of the open pack, 0 when it holds nothing
  std::size_t count = 0;
  bool closeNext = false;
  for (const PackedItem& item : items) {
    bool full = count > 0 && (closeNext || count == kMaxPackItems || held + item.bytes > packSize);
    if (full) {
      ++pack;
      held = 0;
      count = 0;
    }
    if (count == 0) held = kPackageHeaderBytes;
    packs.push_back(pack);
    held += item.bytes;
    ++count;
    closeNext = item.mark && held >= packSize / 4;
  }
  return packs;
}

bool stageRepairSet(ServerChange& change, const InstallTree& tree, std::uint64_t packSize, update::RepairRecord* record,
                    RepairSetSummary* summary, std::string* error) {
  if (tree.index.baseVersion > 0xFFFF) {
    *error = tree.named + ": version " + std::to_string(tree.index.baseVersion) + " is above 65535, the last patch";
    return false;
  }
  const std::uint16_t version = static_cast<std::uint16_t>(tree.index.baseVersion);
  // Keys first, then files: a pack holds one package, of one type.
  std::vector<SourceItem> items = releaseKeys(tree);
  const std::size_t keyCount = items.size();
  for (SourceItem& file : releaseFiles(tree)) items.push_back(std::move(file));
  for (std::size_t i = 1; i < keyCount; ++i) {
    if (items[i].key == items[i - 1].key) {
      *error = tree.named + ": " + repeatedKeyProblem(items[i].key);
      return false;
    }
  }
  std::vector<PackedItem> keyPacking, filePacking;
  for (std::size_t i = 0; i < items.size(); ++i) {
    const SourceItem& item = items[i];
    if (item.size > 0xFFFFFFFFu) {
      *error = treePath(tree, item.name) + ": " + std::to_string(item.size) + " bytes, above a package item's limit";
      return false;
    }
    PackedItem packed{itemBytes(item), item.name.empty() ? keyIsPackMark(item.key) : nameIsPackMark(item.name)};
    (i < keyCount ? keyPacking : filePacking).push_back(packed);
  }
  std::vector<std::uint32_t> packOf = assignPacks(keyPacking, packSize);
  const std::uint32_t keyPacks = keyPacking.empty() ? 0 : packOf.back() + 1;
  for (std::uint32_t p : assignPacks(filePacking, packSize)) packOf.push_back(keyPacks + p);
  const std::uint32_t packCount = packOf.empty() ? 0 : packOf.back() + 1;
  if (packCount == 0) {
    *error = tree.named + ": no key and no loose file: nothing to repair from";
    return false;
  }
  if (packCount > update::kMaxRepairPacks) {
    *error = tree.named + ": " + std::to_string(packCount) + " packs of " + std::to_string(packSize) +
             " bytes, above " + std::to_string(update::kMaxRepairPacks) + ": give a larger --pack-size";
    return false;
  }

  update::RepairRecord made;
  made.dataVersion = version;
  update::ContentList list;
  list.dataVersion = version;
  ItemSource source(tree);
  const std::string packagePath = change.scratchPath("repair-pack.dat");
  const std::string rarPath = change.scratchPath("repair-pack.rar");
  RepairSetSummary counted;
  for (std::size_t first = 0; first < items.size();) {
    std::size_t last = first + 1;
    while (last < items.size() && packOf[last] == packOf[first]) ++last;
    std::vector<update::Sha256Digest> digests;
    if (!writePackPackage(packagePath, items, first, last, source, &digests, error)) return false;
    if (!writeStoredRarFromFile(rarPath.c_str(), update::kRepairPackageName, packagePath.c_str())) {
      *error = "cannot write " + rarPath + ": " + platform::lastSystemError();
      return false;
    }
    update::FileDigest pack;
    bool kept = false;
    if (!stagePack(change, rarPath, &pack, &kept, error)) return false;
    made.packs.push_back(pack);
    counted.packsKept += kept ? 1 : 0;
    counted.packBytes += pack.size;
    for (std::size_t i = first; i < last; ++i) {
      const SourceItem& item = items[i];
      if (item.name.empty())
        list.keys.push_back({item.key, static_cast<std::uint32_t>(item.size), digests[i - first], packOf[i]});
      else
        list.files.push_back({item.name, item.size, digests[i - first], packOf[i]});
      counted.bytes += item.size;
    }
    first = last;
  }
  std::error_code ignored;
  fs::remove(packagePath, ignored);
  fs::remove(rarPath, ignored);

  const std::string bytes = update::encodeContentList(list);
  if (bytes.size() > update::kMaxContentListSize) {
    *error = tree.named + ": a content list of " + std::to_string(bytes.size()) + " bytes, above " +
             std::to_string(update::kMaxContentListSize);
    return false;
  }
  made.contentList.size = bytes.size();
  if (!platform::sha256Of(bytes.data(), bytes.size(), made.contentList.sha256.data())) {
    *error = "the system's hash failed";
    return false;
  }
  if (!change.put(update::repairFileName(made.contentList, ".lst"), bytes, error)) return false;
  counted.keys = list.keys.size();
  counted.files = list.files.size();
  counted.packs = made.packs.size();
  *record = std::move(made);
  *summary = counted;
  return true;
}

}  // namespace vlmpatch
