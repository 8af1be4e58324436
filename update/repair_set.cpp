#include "update/repair_set.h"

#include <algorithm>
#include <cstring>

#include "archive/byte_order.h"
#include "archive/install_path.h"
#include "update/release_check.h"

namespace update {

namespace {

constexpr char kRecordMagic[4] = {'V', 'L', 'M', 'S'};
constexpr char kListMagic[4] = {'V', 'L', 'M', 'C'};

void putSha256(std::string& out, const Sha256Digest& digest) {
  out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
}

bool fail(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return false;
}

}  // namespace

std::string encodeRepairRecordBody(const RepairRecord& record) {
  std::string out(kRecordMagic, sizeof kRecordMagic);
  archive::putU16(out, kRepairFormatVersion);
  archive::putU32(out, record.dataVersion);
  archive::putU64(out, record.sequence);
  archive::putU64(out, record.expiresAt);
  appendFileDigest(out, record.contentList);
  archive::putU32(out, static_cast<std::uint32_t>(record.packs.size()));
  for (const FileDigest& pack : record.packs) appendFileDigest(out, pack);
  return out;
}

std::string encodeRepairRecord(const RepairRecord& record) {
  std::string out = encodeRepairRecordBody(record);
  appendSignatures(out, record.signatures);
  return out;
}

bool decodeRepairRecord(const std::string& bytes, RepairRecord* record, std::string* why) {
  const std::size_t size = bytes.size();
  if (size > kMaxRepairRecordSize)
    return fail(why,
                "repair record: " + std::to_string(size) + " bytes, above " + std::to_string(kMaxRepairRecordSize));
  if (size < kRepairRecordHeaderSize + 1)
    return fail(why, "repair record: " + std::to_string(size) + " bytes, shorter than its header");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (std::memcmp(p, kRecordMagic, sizeof kRecordMagic) != 0)
    return fail(why, "repair record: not a repair record (magic)");
  if (archive::getU16(p + 4) != kRepairFormatVersion)
    return fail(why, "repair record: format version " + std::to_string(archive::getU16(p + 4)) +
                         ", this launcher reads " + std::to_string(kRepairFormatVersion));
  RepairRecord read;
  read.dataVersion = archive::getU32(p + 6);
  read.sequence = archive::getU64(p + 10);
  read.expiresAt = archive::getU64(p + 18);
  read.contentList = readFileDigest(p + 26);
  std::uint32_t packCount = archive::getU32(p + 66);
  if (packCount == 0 || packCount > kMaxRepairPacks)
    return fail(
        why, "repair record: " + std::to_string(packCount) + " packs, expected 1.." + std::to_string(kMaxRepairPacks));
  if (read.contentList.size > kMaxContentListSize)
    return fail(why, "repair record: a content list of " + std::to_string(read.contentList.size) + " bytes, above " +
                         std::to_string(kMaxContentListSize));
  // packCount is bounded above, so this cannot wrap, even in 32 bits.
  const std::size_t bodySize = kRepairRecordHeaderSize + kFileDigestSize * packCount;
  if (bodySize + 1 > size) return fail(why, "repair record: ends inside its pack digests");
  read.packs.reserve(packCount);
  for (std::uint32_t i = 0; i < packCount; ++i)
    read.packs.push_back(readFileDigest(p + kRepairRecordHeaderSize + kFileDigestSize * i));
  if (!readSignatures(bytes, bodySize, "repair record", &read.signatures, why)) return false;
  *record = std::move(read);
  return true;
}

bool checkRepairRecord(const RepairRecord& record, const std::vector<PublicKey>& keys, const ReleaseRecord& release,
                       std::string* why) {
  if (!bodySignedBy(encodeRepairRecordBody(record), record.signatures, keys, "repair record", why)) return false;
  if (record.sequence != release.sequence || record.expiresAt != release.expiresAt)
    return fail(why, "repair record: sequence " + std::to_string(record.sequence) + " and expiry " +
                         std::to_string(record.expiresAt) + " are not the release's (" +
                         std::to_string(release.sequence) + ", " + std::to_string(release.expiresAt) +
                         "): signed for another release");
  if (record.dataVersion > release.latestPatch)
    return fail(why, "repair record: data version " + std::to_string(record.dataVersion) +
                         " is above the release's latest patch " + std::to_string(release.latestPatch));
  return true;
}

std::string encodeContentList(const ContentList& list) {
  std::string out(kListMagic, sizeof kListMagic);
  archive::putU16(out, kRepairFormatVersion);
  archive::putU32(out, list.dataVersion);
  archive::putU32(out, static_cast<std::uint32_t>(list.keys.size()));
  archive::putU32(out, static_cast<std::uint32_t>(list.files.size()));
  out.reserve(out.size() + list.keys.size() * kContentKeySize);
  for (const RepairKey& key : list.keys) {
    archive::putU32(out, key.key);
    archive::putU32(out, key.size);
    putSha256(out, key.sha256);
    archive::putU32(out, key.pack);
  }
  for (const RepairFile& file : list.files) {
    archive::putU16(out, static_cast<std::uint16_t>(file.name.size()));
    out += file.name;
    archive::putU64(out, file.size);
    putSha256(out, file.sha256);
    archive::putU32(out, file.pack);
  }
  return out;
}

bool decodeContentList(const std::string& bytes, std::uint32_t dataVersion, std::uint32_t packCount, ContentList* list,
                       std::string* why) {
  const std::uint64_t size = bytes.size();
  if (size > kMaxContentListSize)
    return fail(why, "content list: " + std::to_string(size) + " bytes, above " + std::to_string(kMaxContentListSize));
  if (size < kContentListHeaderSize) return fail(why, "content list: shorter than its header");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (std::memcmp(p, kListMagic, sizeof kListMagic) != 0) return fail(why, "content list: not a content list (magic)");
  if (archive::getU16(p + 4) != kRepairFormatVersion)
    return fail(why, "content list: format version " + std::to_string(archive::getU16(p + 4)) +
                         ", this launcher reads " + std::to_string(kRepairFormatVersion));
  ContentList read;
  read.dataVersion = archive::getU32(p + 6);
  if (read.dataVersion != dataVersion)
    return fail(why, "content list: data version " + std::to_string(read.dataVersion) + ", the record says " +
                         std::to_string(dataVersion));
  const std::uint32_t keyCount = archive::getU32(p + 10);
  const std::uint32_t fileCount = archive::getU32(p + 14);
  // In 64 bits: a count from the file cannot wrap the bound.
  const std::uint64_t keysEnd = kContentListHeaderSize + static_cast<std::uint64_t>(keyCount) * kContentKeySize;
  if (keysEnd > size) return fail(why, "content list: " + std::to_string(keyCount) + " keys do not fit its length");
  read.keys.reserve(keyCount);
  for (std::uint32_t i = 0; i < keyCount; ++i) {
    const unsigned char* at = p + kContentListHeaderSize + static_cast<std::size_t>(i) * kContentKeySize;
    RepairKey key;
    key.key = archive::getU32(at);
    key.size = archive::getU32(at + 4);
    std::memcpy(key.sha256.data(), at + 8, key.sha256.size());
    key.pack = archive::getU32(at + 40);
    if (!read.keys.empty() && key.key <= read.keys.back().key)
      return fail(why, "content list: key " + std::to_string(key.key) + " does not ascend");
    if (key.pack >= packCount)
      return fail(why, "content list: key " + std::to_string(key.key) + " in pack " + std::to_string(key.pack) +
                           " of " + std::to_string(packCount));
    read.keys.push_back(key);
  }
  std::size_t at = static_cast<std::size_t>(keysEnd);
  // Each file takes at least 2 + 1 + 44 bytes: a count beyond that is false
  // before anything is reserved for it.
  if (fileCount > (size - keysEnd) / 47)
    return fail(why, "content list: " + std::to_string(fileCount) + " files do not fit its length");
  read.files.reserve(fileCount);
  for (std::uint32_t i = 0; i < fileCount; ++i) {
    if (size - at < 2) return fail(why, "content list: ends inside file " + std::to_string(i));
    std::size_t length = archive::getU16(p + at);
    if (length == 0 || length > kMaxRepairNameLength)
      return fail(why, "content list: file " + std::to_string(i) + " has a name of " + std::to_string(length) +
                           " bytes, expected 1.." + std::to_string(kMaxRepairNameLength));
    if (size - at < 2 + length + 44) return fail(why, "content list: ends inside file " + std::to_string(i));
    RepairFile file;
    file.name.assign(reinterpret_cast<const char*>(p + at + 2), length);
    const unsigned char* rest = p + at + 2 + length;
    file.size = archive::getU64(rest);
    std::memcpy(file.sha256.data(), rest + 8, file.sha256.size());
    file.pack = archive::getU32(rest + 40);
    at += 2 + length + 44;
    if (file.name.find('\0') != std::string::npos || !archive::isInstallRelativeName(file.name.c_str()))
      return fail(why, "content list: file " + std::to_string(i) + " has a name that leaves the installation");
    // std::string compares as unsigned bytes: the order the tool writes.
    if (!read.files.empty() && !(read.files.back().name < file.name))
      return fail(why, "content list: file \"" + file.name + "\" does not ascend");
    if (file.size > 0xFFFFFFFFu)
      return fail(why, "content list: file \"" + file.name + "\" of " + std::to_string(file.size) +
                           " bytes, above a package item's limit");
    if (file.pack >= packCount)
      return fail(why, "content list: file \"" + file.name + "\" in pack " + std::to_string(file.pack) + " of " +
                           std::to_string(packCount));
    read.files.push_back(std::move(file));
  }
  if (at != size) return fail(why, "content list: " + std::to_string(size - at) + " bytes after its last file");
  // Two names that Windows takes for one file would let one item overwrite
  // another: the list names each file once.
  std::vector<std::string> folded;
  folded.reserve(read.files.size());
  for (const RepairFile& file : read.files) folded.push_back(archive::windowsFoldedName(file.name));
  std::sort(folded.begin(), folded.end());
  for (std::size_t i = 1; i < folded.size(); ++i)
    if (folded[i] == folded[i - 1]) return fail(why, "content list: two names for one file \"" + folded[i] + "\"");
  *list = std::move(read);
  return true;
}

std::string repairFileName(const FileDigest& file, const char* extension) {
  return "repair-" + toHex(file.sha256.data(), 8) + extension;
}

}  // namespace update
