// The signed release record: what the operator vouches for in one release,
// published beside "patch.hpl" once for each launcher platform ("release.rec"
// for Windows, "release-linux.rec" for Linux: update/server_files.h), and the
// patch blocks it names, "release-%u.blk", which the platforms share. A
// launcher built with the operator's public keys takes nothing from the
// patch server that the record does not name with its size and SHA-256.
//
// A record, all integers little-endian, no padding:
//    0  4  magic "VLMR"
//    4  2  format version, 1
//    6  4  latestPatch     } the numbers "patch.hpl" publishes for the
//   10  4  latestLauncher  } record's platform, which must match it
//   14  4  latestClient    }
//   18  8  sequence        only rises from one publish to the next
//   26  8  expiresAt       Unix time (seconds, UTC) after which the record
//                          is refused
//   34 40  launcher        the platform's launcher ("Start VLM.exe",
//                          "start-vlm"): u64 size, 32-byte SHA-256
//   74 40  client          the platform's client ("Kelda.exe", "Kelda"):
//                          the same
//  114  4  blockPatches    patch numbers per block (1 .. 65536)
//  118  4  blockCount      = ceil(latestPatch / blockPatches)
//  122 32 x blockCount     SHA-256 of each block file, block 0 first
//   then the signatures, which cover the SHA-256 of every byte above:
//       1  signature count (1 .. kMaxRecordSignatures)
//       72 x count: 8-byte key id (the first 8 bytes of the SHA-256 of the
//          signing public key), 64-byte ECDSA P-256 signature (r then s)
// The file ends there; any other length is malformed. An executable that the
// server does not publish has size 0 and a digest of zeros.
//
// "release-%u.blk", block k (from 0): for each patch number n from
// k * blockPatches + 1 to min((k + 1) * blockPatches, latestPatch), in order,
// the 40-byte digest of "%i.rar" (u64 size, SHA-256). Nothing else: its
// length says how many patches it holds and must be exactly that. A block is
// trusted through its digest in the signed record. A patch the release does
// not publish (a server started for players at a later version, whose first
// patch comes after it) has size 0 and a digest of zeros: no launcher fetches
// it.
//
// With 256 patches a block, a server of 10,000 patches has a record of
// 122 + 40 * 32 + 1 + 72 = 1,475 bytes (one signature), and a launcher that
// needs one new patch fetches one block of at most 10,240 bytes beside it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace update {

constexpr const char* kReleaseRecordName = "release.rec";
constexpr const char* kReleaseBlockNameFormat = "release-%u.blk";
constexpr std::uint16_t kReleaseFormatVersion = 1;
constexpr std::uint32_t kDefaultBlockPatches = 256;
constexpr std::uint32_t kMaxBlockPatches = 65536;
constexpr std::size_t kMaxRecordSignatures = 8;
// A record is refused above this size before it is read; a block has at most
// kMaxBlockPatches * 40 bytes.
constexpr std::size_t kMaxReleaseRecordSize = 1 << 20;
constexpr std::size_t kKeyIdSize = 8;
constexpr std::size_t kFileDigestSize = 40;
constexpr std::size_t kRecordHeaderSize = 122;  // up to the block digests
constexpr std::size_t kRecordSignatureSize = kKeyIdSize + 64;

// The largest record a release of latestPatch patches can have: one block
// digest per patch (blockPatches may be as low as 1) and every signature,
//   122 + 32 * latestPatch + 1 + 72 * kMaxRecordSignatures,
// and never more than kMaxReleaseRecordSize. A launcher knows latestPatch
// from "patch.hpl" before it fetches the record, so no server can hold it
// up with a longer one: the transfer stops at this bound.
std::size_t largestReleaseRecordSize(std::uint32_t latestPatch);

using Sha256Digest = std::array<unsigned char, 32>;
using KeyId = std::array<unsigned char, kKeyIdSize>;
using PublicKey = std::array<unsigned char, 64>;

struct FileDigest {
  std::uint64_t size = 0;
  Sha256Digest sha256{};
};

struct RecordSignature {
  KeyId keyId{};
  std::array<unsigned char, 64> signature{};
};

struct ReleaseRecord {
  std::uint32_t latestPatch = 0;
  std::uint32_t latestLauncher = 0;
  std::uint32_t latestClient = 0;
  std::uint64_t sequence = 0;
  std::uint64_t expiresAt = 0;
  FileDigest launcher;
  FileDigest client;
  std::uint32_t blockPatches = kDefaultBlockPatches;
  std::vector<Sha256Digest> blockDigests;
  std::vector<RecordSignature> signatures;
};

// The number of blocks that latestPatch patches fill.
std::uint32_t blockCountFor(std::uint32_t latestPatch, std::uint32_t blockPatches);
// The block that holds patch number n (n >= 1), and n's place in it.
std::uint32_t blockOfPatch(std::uint32_t n, std::uint32_t blockPatches);
std::uint32_t placeInBlock(std::uint32_t n, std::uint32_t blockPatches);
// How many patches block k of a release holds.
std::uint32_t patchesInBlock(std::uint32_t k, std::uint32_t latestPatch, std::uint32_t blockPatches);

// The bytes that the signatures cover (everything before the signature
// count), and the whole file.
std::string encodeRecordBody(const ReleaseRecord& record);
std::string encodeReleaseRecord(const ReleaseRecord& record);
// The digest that each signature signs: the SHA-256 of the body.
bool recordBodyDigest(const std::string& body, Sha256Digest* digest);

// Reads a record. False, with the reason in *why (for example "record: 3
// block digests for 1000 patches of 256 a block, expected 4"), when the
// bytes are not exactly one well-formed record. Signatures are not checked
// here; record is changed only on success.
bool decodeReleaseRecord(const std::string& bytes, ReleaseRecord* record, std::string* why);

std::string encodePatchBlock(const std::vector<FileDigest>& patches);
// Reads block k of the record's release: its length must be that of the
// patches the block holds. False with the reason otherwise.
bool decodePatchBlock(const std::string& bytes, std::uint32_t expectedCount, std::vector<FileDigest>* patches,
                      std::string* why);

// A file digest's 40 bytes (u64 size, then the SHA-256), appended to out,
// and read from p.
void appendFileDigest(std::string& out, const FileDigest& file);
FileDigest readFileDigest(const unsigned char* p);

// The signature block that ends a record (and the repair record,
// update/repair_set.h): a count byte, then count times a key id and a
// signature. readSignatures reads it at bodySize, where it must end the
// bytes exactly with a count from 1 to kMaxRecordSignatures; false with the
// reason after what ("record: 0 signatures, expected 1..8") otherwise.
void appendSignatures(std::string& out, const std::vector<RecordSignature>& signatures);
bool readSignatures(const std::string& bytes, std::size_t bodySize, const char* what,
                    std::vector<RecordSignature>* signatures, std::string* why);

// The key id of a public key: the first 8 bytes of its SHA-256.
KeyId keyIdOf(const PublicKey& key);

// Lower-case hex of bytes, and back (false on an odd length or a non-hex
// character), for keys and digests in texts.
std::string toHex(const unsigned char* bytes, std::size_t size);
bool fromHex(const std::string& text, std::vector<unsigned char>* bytes);

}  // namespace update
