// The release record's layout and the checks a keyed launcher makes of it:
// exact lengths (every cut and every extra byte refused), signatures by
// trusted keys only, the numbers of "patch.hpl", rollback and expiry, and a
// file against its size and digest.
#include "update/release_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/crypto.h"
#include "support/temp_dir.h"
#include "update/release_check.h"

namespace {

using namespace update;

struct KeyPair {
  unsigned char secret[platform::kP256PrivateKeySize];
  PublicKey publicKey;
};

KeyPair freshKey() {
  KeyPair key;
  EXPECT_TRUE(platform::generateP256(key.secret, key.publicKey.data()));
  return key;
}

FileDigest digestOf(const std::string& bytes) {
  FileDigest file;
  file.size = bytes.size();
  platform::sha256Of(bytes.data(), bytes.size(), file.sha256.data());
  return file;
}

void sign(ReleaseRecord& record, const KeyPair& key) {
  Sha256Digest digest;
  ASSERT_TRUE(recordBodyDigest(encodeRecordBody(record), &digest));
  RecordSignature signature;
  signature.keyId = keyIdOf(key.publicKey);
  ASSERT_TRUE(platform::signP256(key.secret, key.publicKey.data(), digest.data(), signature.signature.data()));
  record.signatures.push_back(signature);
}

ReleaseRecord sampleRecord() {
  ReleaseRecord record;
  record.latestPatch = 600;
  record.latestLauncher = 4;
  record.latestClient = 9;
  record.sequence = 17;
  record.expiresAt = 2000000000;
  record.launcher = digestOf("MZ launcher");
  record.client = digestOf("MZ client");
  record.blockPatches = 256;
  for (int k = 0; k < 3; ++k) record.blockDigests.push_back(digestOf("block " + std::to_string(k)).sha256);
  return record;
}

TEST(ReleaseRecord, RoundTripKeepsEveryField) {
  KeyPair key = freshKey();
  ReleaseRecord record = sampleRecord();
  sign(record, key);
  std::string bytes = encodeReleaseRecord(record);
  EXPECT_EQ(bytes.size(), 122u + 3 * 32 + 1 + 72);
  ReleaseRecord read;
  std::string why;
  ASSERT_TRUE(decodeReleaseRecord(bytes, &read, &why)) << why;
  EXPECT_EQ(encodeReleaseRecord(read), bytes);
  EXPECT_EQ(read.latestPatch, 600u);
  EXPECT_EQ(read.sequence, 17u);
  EXPECT_EQ(read.client.size, 9u);
  EXPECT_EQ(read.blockDigests.size(), 3u);
}

TEST(ReleaseRecord, TenThousandPatchesMakeASmallRecord) {
  ReleaseRecord record = sampleRecord();
  record.latestPatch = 10000;
  record.blockDigests.assign(blockCountFor(10000, 256), Sha256Digest{});
  record.signatures.resize(1);
  EXPECT_EQ(encodeReleaseRecord(record).size(), 1475u);
  EXPECT_EQ(patchesInBlock(39, 10000, 256), 16u);
  EXPECT_EQ(patchesInBlock(0, 10000, 256), 256u);
  EXPECT_EQ(patchesInBlock(40, 10000, 256), 0u);
  EXPECT_EQ(blockOfPatch(256, 256), 0u);
  EXPECT_EQ(blockOfPatch(257, 256), 1u);
  EXPECT_EQ(placeInBlock(257, 256), 0u);
}

// The largest record a patch list's latestPatch allows: one block digest a
// patch (blocks of 1) and every signature, never above the 1 MiB cap.
TEST(ReleaseRecord, TheLargestRecordOfALatestPatch) {
  struct Case {
    std::uint32_t latestPatch;
    std::size_t largest;
  };
  const Case cases[] = {
      {0, 122 + 1 + 72 * 8},
      {1, 122 + 32 + 1 + 72 * 8},
      {12, 1083},
      {10000, 122 + 320000 + 1 + 576},
      {32746, 1048571},  // the last below the cap
      {32747, kMaxReleaseRecordSize},
      {0x7FFFFFFFu, kMaxReleaseRecordSize},
      {0xFFFFFFFFu, kMaxReleaseRecordSize},  // 32 * latestPatch passes 32 bits
  };
  for (const Case& c : cases) EXPECT_EQ(largestReleaseRecordSize(c.latestPatch), c.largest) << c.latestPatch;
  // And a record of that shape is exactly that long.
  for (std::uint32_t latestPatch : {0u, 1u, 12u, 300u}) {
    ReleaseRecord record = sampleRecord();
    record.latestPatch = latestPatch;
    record.blockPatches = 1;
    record.blockDigests.assign(blockCountFor(latestPatch, 1), Sha256Digest{});
    record.signatures.resize(kMaxRecordSignatures);
    const std::string bytes = encodeReleaseRecord(record);
    EXPECT_EQ(bytes.size(), largestReleaseRecordSize(latestPatch)) << latestPatch;
    ReleaseRecord read;
    std::string why;
    EXPECT_TRUE(decodeReleaseRecord(bytes, &read, &why)) << why;
  }
}

TEST(ReleaseRecord, EveryCutAndEveryExtraByteIsRefused) {
  ReleaseRecord record = sampleRecord();
  record.signatures.resize(2);
  std::string bytes = encodeReleaseRecord(record);
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    ReleaseRecord read;
    std::string why;
    EXPECT_FALSE(decodeReleaseRecord(bytes.substr(0, length), &read, &why)) << "cut at " << length;
    EXPECT_FALSE(why.empty());
  }
  ReleaseRecord read;
  EXPECT_FALSE(decodeReleaseRecord(bytes + '\0', &read, nullptr)) << "one byte more";
}

TEST(ReleaseRecord, MalformedFieldsAreRefusedWithTheirReason) {
  struct Case {
    const char* what;
    std::size_t offset;
    std::string bytes;  // written over the good record at offset
    const char* reason;
  } cases[] = {
      {"magic", 0, "VLMX", "magic"},
      {"format version 2", 4, std::string("\x02\x00", 2), "format version 2"},
      {"no patches a block", 114, std::string(4, '\0'), "0 patches a block"},
      {"a block count that does not fit latestPatch", 118, std::string("\x02\x00\x00\x00", 4),
       "2 block digests for 600 patches of 256 a block, expected 3"},
      {"more block digests than the bytes hold", 114, std::string("\x01\x00\x00\x00\x58\x02\x00\x00", 8),
       "ends inside its block digests"},
      {"no signature", 122 + 96, std::string(1, '\0'), "0 signatures"},
      {"nine signatures", 122 + 96, std::string(1, '\x09'), "9 signatures"},
  };
  for (const Case& c : cases) {
    ReleaseRecord record = sampleRecord();
    record.signatures.resize(1);
    std::string bytes = encodeReleaseRecord(record);
    bytes.replace(c.offset, c.bytes.size(), c.bytes);
    ReleaseRecord read;
    std::string why;
    EXPECT_FALSE(decodeReleaseRecord(bytes, &read, &why)) << c.what;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
  }
  // 2^32 - 1 patches of one a block: 2^32 - 1 digests, whose length must
  // not wrap around on a 32-bit build.
  ReleaseRecord huge = sampleRecord();
  huge.signatures.resize(1);
  std::string bytes = encodeReleaseRecord(huge);
  bytes.replace(6, 4, std::string(4, '\xFF'));
  bytes.replace(114, 8, std::string("\x01\x00\x00\x00\xFF\xFF\xFF\xFF", 8));
  ReleaseRecord read;
  std::string why;
  EXPECT_FALSE(decodeReleaseRecord(bytes, &read, &why));
  EXPECT_NE(why.find("ends inside its block digests"), std::string::npos) << why;
  EXPECT_FALSE(decodeReleaseRecord(std::string(kMaxReleaseRecordSize + 1, 'V'), &read, &why));
  EXPECT_NE(why.find("above"), std::string::npos) << why;
}

TEST(PatchBlock, LengthMustBeThatOfItsPatches) {
  std::vector<FileDigest> patches = {digestOf("1.rar"), digestOf("2.rar")};
  std::string bytes = encodePatchBlock(patches);
  std::vector<FileDigest> read;
  std::string why;
  ASSERT_TRUE(decodePatchBlock(bytes, 2, &read, &why)) << why;
  EXPECT_EQ(read[1].sha256, patches[1].sha256);
  EXPECT_FALSE(decodePatchBlock(bytes, 3, &read, &why));
  EXPECT_FALSE(decodePatchBlock(bytes.substr(1), 2, &read, &why));
  EXPECT_FALSE(decodePatchBlock(bytes + "x", 2, &read, &why));
}

TEST(ReleaseCheck, TableOfRecords) {
  KeyPair operatorKey = freshKey(), newKey = freshKey(), strangerKey = freshKey();
  const std::vector<PublicKey> trusted = {operatorKey.publicKey, newKey.publicKey};
  const PublishedNumbers published{600, 4, 9};
  const std::uint64_t now = 1900000000;

  struct Case {
    const char* what;
    void (*change)(ReleaseRecord&);
    std::vector<const KeyPair*> signers;
    std::uint64_t highestAccepted;
    bool accepted;
    const char* reason;
  } cases[] = {
      {"valid", [](ReleaseRecord&) {}, {&operatorKey}, 17, true, ""},
      {"signed by the new key of a rotation", [](ReleaseRecord&) {}, {&newKey}, 0, true, ""},
      {"a stranger's signature beside a trusted one", [](ReleaseRecord&) {}, {&strangerKey, &operatorKey}, 0, true, ""},
      {"signed by another key", [](ReleaseRecord&) {}, {&strangerKey}, 0, false, "no trusted key"},
      {"latestPatch differs",
       [](ReleaseRecord& r) { r.latestPatch = 599; },
       {&operatorKey},
       0,
       false,
       "differ from the patch list"},
      {"latestLauncher differs",
       [](ReleaseRecord& r) { r.latestLauncher = 5; },
       {&operatorKey},
       0,
       false,
       "differ from the patch list"},
      {"latestClient differs",
       [](ReleaseRecord& r) { r.latestClient = 8; },
       {&operatorKey},
       0,
       false,
       "differ from the patch list"},
      {"an older record replayed", [](ReleaseRecord&) {}, {&operatorKey}, 18, false, "older than the accepted 18"},
      {"expired", [](ReleaseRecord& r) { r.expiresAt = 1900000000; }, {&operatorKey}, 0, false, "expired"},
  };
  for (const Case& c : cases) {
    ReleaseRecord record = sampleRecord();
    c.change(record);
    for (const KeyPair* signer : c.signers) sign(record, *signer);
    std::string why;
    EXPECT_EQ(checkReleaseRecord(record, trusted, published, c.highestAccepted, now, &why), c.accepted) << c.what;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
  }
}

TEST(ReleaseCheck, ASignatureOverOtherBytesIsRefused) {
  KeyPair key = freshKey();
  ReleaseRecord record = sampleRecord();
  sign(record, key);
  // A field changed after signing, and a flipped bit of the signature.
  struct Case {
    const char* what;
    void (*change)(ReleaseRecord&);
  } cases[] = {
      {"sequence raised after signing", [](ReleaseRecord& r) { r.sequence = 99; }},
      {"expiry pushed back after signing", [](ReleaseRecord& r) { r.expiresAt += 86400; }},
      {"client digest swapped after signing", [](ReleaseRecord& r) { r.client.sha256[0] ^= 1; }},
      {"block digest swapped after signing", [](ReleaseRecord& r) { r.blockDigests[2][31] ^= 0x80; }},
      {"signature bit flipped", [](ReleaseRecord& r) { r.signatures[0].signature[10] ^= 4; }},
  };
  for (const Case& c : cases) {
    ReleaseRecord changed = record;
    c.change(changed);
    std::string why;
    EXPECT_FALSE(recordSignedBy(changed, {key.publicKey}, &why)) << c.what;
    EXPECT_NE(why.find("does not verify"), std::string::npos) << c.what << ": " << why;
  }
}

TEST(ReleaseCheck, TrustedKeyListsFromTheBuildSetting) {
  KeyPair a = freshKey(), b = freshKey();
  std::string hexA = toHex(a.publicKey.data(), a.publicKey.size()), hexB = toHex(b.publicKey.data(), 64);
  std::vector<PublicKey> keys;
  std::string why;
  ASSERT_TRUE(parsePublicKeyList(hexA + ", " + hexB, &keys, &why)) << why;
  ASSERT_EQ(keys.size(), 2u);
  EXPECT_EQ(keys[1], b.publicKey);
  ASSERT_TRUE(parsePublicKeyList("", &keys, &why));
  EXPECT_TRUE(keys.empty());
  EXPECT_FALSE(parsePublicKeyList(hexA.substr(2), &keys, &why)) << "126 digits";
  EXPECT_FALSE(parsePublicKeyList(hexA.substr(0, 127) + "g", &keys, &why)) << "not hex";
}

TEST(ReleaseCheck, FilesAgainstTheirDigest) {
  TempWorkDir work;
  const std::string body = "MZ the client, version 9";
  const FileDigest expected = digestOf(body);
  struct Case {
    const char* what;
    std::string content;
    bool matches;
    const char* reason;
  } cases[] = {
      {"the same bytes", body, true, ""},
      {"one byte longer", body + "!", false, "longer than the release's 24 bytes"},
      {"one byte shorter", body.substr(1), false, "size 23"},
      {"one byte changed", "MZ the client, version 8", false, "SHA-256"},
      {"empty", "", false, "size 0"},
  };
  for (const Case& c : cases) {
    writeWholeFile("Kelda.bin", c.content);
    std::string why;
    EXPECT_EQ(fileMatchesDigest("Kelda.bin", expected, &why), c.matches) << c.what;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.what << ": " << why;
  }
  std::string why;
  EXPECT_FALSE(fileMatchesDigest("missing.bin", expected, &why));
}

}  // namespace
