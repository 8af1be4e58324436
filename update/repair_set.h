// The repair set: the full content of one release, which the operator
// publishes beside the patches and signs with the release's keys, so that a
// launcher can verify an installation and repair exactly the items that are
// damaged, missing or short, by fetching only the packs that hold them.
// Launchers that know nothing of it never fetch it. Three kinds of files in
// the patch directory, shared by both platforms:
//
// "repair.rec", the repair record, signed like the release records and
// written with them at every signing, with their sequence and expiry: a
// launcher takes it only beside the very release it accepted, so no server
// can replay an older repair set under a newer release. All integers
// little-endian, no padding:
//    0  4  magic "VLMS"
//    4  2  format version, 1
//    6  4  dataVersion     the data version an installation has once
//                          repaired (at most the release's latestPatch: the
//                          patches above it follow the repair as usual)
//   10  8  sequence        the release records' sequence
//   18  8  expiresAt       the release records' expiry
//   26 40  content list    u64 size, SHA-256
//   66  4  packCount       1 .. kMaxRepairPacks
//   70 40 x packCount      each pack: u64 size, SHA-256
//   then the signatures, which cover the SHA-256 of every byte above, laid
//   out as in the release record (update/release_record.h). The file ends
//   there; any other length is malformed.
//
// "repair-<16 hex digits>.lst", the content list, named by the first 8
// bytes of its SHA-256 (so a cache may keep it for good), little-endian:
//    0  4  magic "VLMC"
//    4  2  format version, 1
//    6  4  dataVersion     the record's
//   10  4  keyCount
//   14  4  fileCount
//   18 44 x keyCount       each live archive key: u32 key, u32 size of its
//                          stored bytes, their SHA-256, u32 pack (an index
//                          into the record's packs); keys strictly ascending
//   then fileCount times   each loose file the release ships: u16 name
//                          length N (1 .. kMaxRepairNameLength), N name
//                          bytes, u64 size (below 4 GiB: a package item's
//                          length is 32-bit), SHA-256, u32 pack; names pass
//                          isInstallRelativeName, no two are one file on
//                          Windows, and they stand in ascending byte order
//   The file ends there; any other length is malformed.
//
// "repair-<16 hex digits>.rar", a pack, named the same way by its SHA-256
// (a pack unchanged between releases keeps its name): a stored RAR archive
// holding one patch package of type 1 (keys) or type 3 (loose files) whose
// items are exactly those the content list gives that pack, with those
// sizes and digests. Its version is 0 in every release, or no pack would
// keep its name: a launcher applies a pack keeping its installation's
// version, and gives the installation dataVersion once the repair is whole.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/release_record.h"

namespace update {

constexpr const char* kRepairRecordName = "repair.rec";
constexpr std::uint16_t kRepairFormatVersion = 1;
constexpr std::uint32_t kMaxRepairPacks = 16384;
constexpr std::size_t kRepairRecordHeaderSize = 70;  // up to the pack digests
// Bounds a launcher applies before it reads: the record at its largest
// (every pack, every signature), and the content list (6 million keys).
constexpr std::size_t kMaxRepairRecordSize =
    kRepairRecordHeaderSize + kFileDigestSize * kMaxRepairPacks + 1 + kRecordSignatureSize * kMaxRecordSignatures;
constexpr std::uint64_t kMaxContentListSize = 256u << 20;
constexpr std::size_t kMaxRepairNameLength = 259;
constexpr std::size_t kContentListHeaderSize = 18;
constexpr std::size_t kContentKeySize = 44;
// What a pack's RAR archive holds: its package under this name.
constexpr const char* kRepairPackageName = "repair.dat";
constexpr std::uint16_t kRepairPackageVersion = 0;

struct RepairRecord {
  std::uint32_t dataVersion = 0;
  std::uint64_t sequence = 0;
  std::uint64_t expiresAt = 0;
  FileDigest contentList;
  std::vector<FileDigest> packs;
  std::vector<RecordSignature> signatures;
};

struct RepairKey {
  std::uint32_t key = 0;
  std::uint32_t size = 0;
  Sha256Digest sha256{};
  std::uint32_t pack = 0;
};

struct RepairFile {
  std::string name;
  std::uint64_t size = 0;
  Sha256Digest sha256{};
  std::uint32_t pack = 0;
};

struct ContentList {
  std::uint32_t dataVersion = 0;
  std::vector<RepairKey> keys;
  std::vector<RepairFile> files;
};

// The bytes the signatures cover, and the whole file.
std::string encodeRepairRecordBody(const RepairRecord& record);
std::string encodeRepairRecord(const RepairRecord& record);
// Reads a record; false with the reason ("repair record: ...") when the
// bytes are not exactly one well-formed record. Signatures are not checked
// here; record is changed only on success.
bool decodeRepairRecord(const std::string& bytes, RepairRecord* record, std::string* why);

// Every check of a fetched repair record against the release the launcher
// accepted in the same pass: a signature by one of the keys, the release's
// sequence and expiry, a data version not above its latestPatch. False with
// the reason of the first that fails.
bool checkRepairRecord(const RepairRecord& record, const std::vector<PublicKey>& keys, const ReleaseRecord& release,
                       std::string* why);

std::string encodeContentList(const ContentList& list);
// Reads a content list whose record gives dataVersion and packCount packs;
// false with the reason ("content list: ...") unless the bytes are exactly
// one list by the rules above, of that version, every pack index below
// packCount.
bool decodeContentList(const std::string& bytes, std::uint32_t dataVersion, std::uint32_t packCount, ContentList* list,
                       std::string* why);

// "repair-<first 8 bytes of the digest in hex>" with the extension (".lst",
// ".rar"): the server name of a content list or a pack.
std::string repairFileName(const FileDigest& file, const char* extension);

}  // namespace update
