#include "update/release_record.h"

#include <cstring>

#include "archive/byte_order.h"
#include "platform/crypto.h"

namespace update {

namespace {

constexpr char kMagic[4] = {'V', 'L', 'M', 'R'};

bool fail(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return false;
}

}  // namespace

void appendFileDigest(std::string& out, const FileDigest& file) {
  archive::putU64(out, file.size);
  out.append(reinterpret_cast<const char*>(file.sha256.data()), file.sha256.size());
}

FileDigest readFileDigest(const unsigned char* p) {
  FileDigest file;
  file.size = archive::getU64(p);
  std::memcpy(file.sha256.data(), p + 8, file.sha256.size());
  return file;
}

void appendSignatures(std::string& out, const std::vector<RecordSignature>& signatures) {
  archive::putU8(out, static_cast<std::uint8_t>(signatures.size()));
  for (const RecordSignature& signature : signatures) {
    out.append(reinterpret_cast<const char*>(signature.keyId.data()), signature.keyId.size());
    out.append(reinterpret_cast<const char*>(signature.signature.data()), signature.signature.size());
  }
}

bool readSignatures(const std::string& bytes, std::size_t bodySize, const char* what,
                    std::vector<RecordSignature>* signatures, std::string* why) {
  const std::size_t size = bytes.size();
  if (bodySize >= size) return fail(why, std::string(what) + ": ends before its signatures");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t count = p[bodySize];
  if (count == 0 || count > kMaxRecordSignatures)
    return fail(why, std::string(what) + ": " + std::to_string(count) + " signatures, expected 1.." +
                         std::to_string(kMaxRecordSignatures));
  if (size != bodySize + 1 + count * kRecordSignatureSize)
    return fail(why, std::string(what) + ": " + std::to_string(size) + " bytes, expected " +
                         std::to_string(bodySize + 1 + count * kRecordSignatureSize));
  std::vector<RecordSignature> read;
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* at = p + bodySize + 1 + i * kRecordSignatureSize;
    RecordSignature signature;
    std::memcpy(signature.keyId.data(), at, kKeyIdSize);
    std::memcpy(signature.signature.data(), at + kKeyIdSize, signature.signature.size());
    read.push_back(signature);
  }
  *signatures = std::move(read);
  return true;
}

std::uint32_t blockCountFor(std::uint32_t latestPatch, std::uint32_t blockPatches) {
  return static_cast<std::uint32_t>((static_cast<std::uint64_t>(latestPatch) + blockPatches - 1) / blockPatches);
}

std::uint32_t blockOfPatch(std::uint32_t n, std::uint32_t blockPatches) { return (n - 1) / blockPatches; }

std::uint32_t placeInBlock(std::uint32_t n, std::uint32_t blockPatches) { return (n - 1) % blockPatches; }

std::uint32_t patchesInBlock(std::uint32_t k, std::uint32_t latestPatch, std::uint32_t blockPatches) {
  std::uint64_t first = static_cast<std::uint64_t>(k) * blockPatches;  // patches before block k
  if (first >= latestPatch) return 0;
  std::uint64_t left = latestPatch - first;
  return static_cast<std::uint32_t>(left < blockPatches ? left : blockPatches);
}

std::size_t largestReleaseRecordSize(std::uint32_t latestPatch) {
  // In 64 bits: 32 * latestPatch alone passes 32 bits.
  const std::uint64_t largest = kRecordHeaderSize + 32 * static_cast<std::uint64_t>(latestPatch) + 1 +
                                kRecordSignatureSize * kMaxRecordSignatures;
  return largest < kMaxReleaseRecordSize ? static_cast<std::size_t>(largest) : kMaxReleaseRecordSize;
}

std::string encodeRecordBody(const ReleaseRecord& record) {
  std::string out(kMagic, sizeof kMagic);
  archive::putU16(out, kReleaseFormatVersion);
  archive::putU32(out, record.latestPatch);
  archive::putU32(out, record.latestLauncher);
  archive::putU32(out, record.latestClient);
  archive::putU64(out, record.sequence);
  archive::putU64(out, record.expiresAt);
  appendFileDigest(out, record.launcher);
  appendFileDigest(out, record.client);
  archive::putU32(out, record.blockPatches);
  archive::putU32(out, static_cast<std::uint32_t>(record.blockDigests.size()));
  for (const Sha256Digest& digest : record.blockDigests)
    out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  return out;
}

std::string encodeReleaseRecord(const ReleaseRecord& record) {
  std::string out = encodeRecordBody(record);
  appendSignatures(out, record.signatures);
  return out;
}

bool recordBodyDigest(const std::string& body, Sha256Digest* digest) {
  return platform::sha256Of(body.data(), body.size(), digest->data());
}

bool decodeReleaseRecord(const std::string& bytes, ReleaseRecord* record, std::string* why) {
  const std::size_t size = bytes.size();
  if (size > kMaxReleaseRecordSize)
    return fail(why, "record: " + std::to_string(size) + " bytes, above " + std::to_string(kMaxReleaseRecordSize));
  if (size < kRecordHeaderSize) return fail(why, "record: " + std::to_string(size) + " bytes, shorter than its header");
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return fail(why, "record: not a release record (magic)");
  if (archive::getU16(p + 4) != kReleaseFormatVersion)
    return fail(why, "record: format version " + std::to_string(archive::getU16(p + 4)) + ", this launcher reads " +
                         std::to_string(kReleaseFormatVersion));
  ReleaseRecord read;
  read.latestPatch = archive::getU32(p + 6);
  read.latestLauncher = archive::getU32(p + 10);
  read.latestClient = archive::getU32(p + 14);
  read.sequence = archive::getU64(p + 18);
  read.expiresAt = archive::getU64(p + 26);
  read.launcher = readFileDigest(p + 34);
  read.client = readFileDigest(p + 74);
  read.blockPatches = archive::getU32(p + 114);
  std::uint32_t blockCount = archive::getU32(p + 118);
  if (read.blockPatches == 0 || read.blockPatches > kMaxBlockPatches)
    return fail(why, "record: " + std::to_string(read.blockPatches) + " patches a block, outside 1.." +
                         std::to_string(kMaxBlockPatches));
  std::uint32_t expected = blockCountFor(read.latestPatch, read.blockPatches);
  if (blockCount != expected)
    return fail(why, "record: " + std::to_string(blockCount) + " block digests for " +
                         std::to_string(read.latestPatch) + " patches of " + std::to_string(read.blockPatches) +
                         " a block, expected " + std::to_string(expected));
  // Every length is checked against the bytes at hand before it is used,
  // in 64 bits so that no count can wrap on a 32-bit build.
  std::uint64_t digestsEnd = kRecordHeaderSize + static_cast<std::uint64_t>(blockCount) * 32;
  if (digestsEnd + 1 > size) return fail(why, "record: ends inside its block digests");
  std::size_t bodySize = static_cast<std::size_t>(digestsEnd);
  for (std::uint32_t k = 0; k < blockCount; ++k) {
    Sha256Digest digest;
    std::memcpy(digest.data(), p + kRecordHeaderSize + k * 32, digest.size());
    read.blockDigests.push_back(digest);
  }
  if (!readSignatures(bytes, bodySize, "record", &read.signatures, why)) return false;
  *record = std::move(read);
  return true;
}

std::string encodePatchBlock(const std::vector<FileDigest>& patches) {
  std::string out;
  for (const FileDigest& patch : patches) appendFileDigest(out, patch);
  return out;
}

bool decodePatchBlock(const std::string& bytes, std::uint32_t expectedCount, std::vector<FileDigest>* patches,
                      std::string* why) {
  if (bytes.size() != static_cast<std::uint64_t>(expectedCount) * kFileDigestSize)
    return fail(why, "block: " + std::to_string(bytes.size()) + " bytes, expected " + std::to_string(expectedCount) +
                         " digests of " + std::to_string(kFileDigestSize));
  std::vector<FileDigest> read;
  read.reserve(expectedCount);
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::uint32_t i = 0; i < expectedCount; ++i) read.push_back(readFileDigest(p + i * kFileDigestSize));
  *patches = std::move(read);
  return true;
}

KeyId keyIdOf(const PublicKey& key) {
  Sha256Digest digest{};
  platform::sha256Of(key.data(), key.size(), digest.data());
  KeyId id;
  std::memcpy(id.data(), digest.data(), id.size());
  return id;
}

std::string toHex(const unsigned char* bytes, std::size_t size) {
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    hex += digits[bytes[i] >> 4];
    hex += digits[bytes[i] & 15];
  }
  return hex;
}

bool fromHex(const std::string& text, std::vector<unsigned char>* bytes) {
  if (text.size() % 2) return false;
  auto value = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::vector<unsigned char> out;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    int high = value(text[i]), low = value(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(static_cast<unsigned char>(high << 4 | low));
  }
  *bytes = std::move(out);
  return true;
}

}  // namespace update
