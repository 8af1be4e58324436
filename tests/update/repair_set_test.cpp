// The repair set's two formats, read as a launcher reads them from a hostile
// server: exact lengths, counts that do not fit, keys and names out of
// order, names that leave the installation or collide on Windows, packs out
// of range; and the repair record judged against the accepted release
// (signature, sequence and expiry, data version).
#include "update/repair_set.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/byte_order.h"
#include "platform/crypto.h"
#include "update/release_check.h"

namespace {

using namespace update;

FileDigest digestOf(const std::string& bytes) {
  FileDigest file;
  file.size = bytes.size();
  platform::sha256Of(bytes.data(), bytes.size(), file.sha256.data());
  return file;
}

struct KeyPair {
  unsigned char secret[platform::kP256PrivateKeySize];
  PublicKey publicKey;
};

KeyPair freshKey() {
  KeyPair key;
  EXPECT_TRUE(platform::generateP256(key.secret, key.publicKey.data()));
  return key;
}

void sign(RepairRecord& record, const KeyPair& key) {
  Sha256Digest digest;
  ASSERT_TRUE(recordBodyDigest(encodeRepairRecordBody(record), &digest));
  RecordSignature signature;
  signature.keyId = keyIdOf(key.publicKey);
  ASSERT_TRUE(platform::signP256(key.secret, key.publicKey.data(), digest.data(), signature.signature.data()));
  record.signatures.push_back(signature);
}

RepairRecord sampleRecord() {
  RepairRecord record;
  record.dataVersion = 1426;
  record.sequence = 31;
  record.expiresAt = 2000000000;
  record.contentList = digestOf("list");
  for (int i = 0; i < 3; ++i) record.packs.push_back(digestOf("pack " + std::to_string(i)));
  return record;
}

ContentList sampleList() {
  ContentList list;
  list.dataVersion = 1426;
  list.keys = {{0x10, 5, digestOf("ten").sha256, 0},
               {0x11, 0, digestOf("").sha256, 0},
               {0x7FFFFFFF, 1 << 20, digestOf("big").sha256, 1}};
  list.files = {{"Lumen.dll", 70000, digestOf("dll").sha256, 2},
                {"data/a.txt", 3, digestOf("a").sha256, 2},
                {"data/b.txt", 0, digestOf("").sha256, 2}};
  return list;
}

TEST(RepairRecord, EncodesAndDecodesToTheSameRecord) {
  RepairRecord record = sampleRecord();
  KeyPair key = freshKey();
  sign(record, key);
  const std::string bytes = encodeRepairRecord(record);
  EXPECT_EQ(bytes.size(), kRepairRecordHeaderSize + 3 * kFileDigestSize + 1 + kRecordSignatureSize);
  EXPECT_EQ(bytes.substr(0, 4), "VLMS");
  RepairRecord read;
  std::string why;
  ASSERT_TRUE(decodeRepairRecord(bytes, &read, &why)) << why;
  EXPECT_EQ(encodeRepairRecord(read), bytes);
  EXPECT_EQ(read.dataVersion, 1426u);
  EXPECT_EQ(read.packs.size(), 3u);
  EXPECT_EQ(read.packs[2].sha256, record.packs[2].sha256);
}

TEST(RepairRecord, EveryCutAndEveryExtraByteIsRefused) {
  RepairRecord record = sampleRecord();
  sign(record, freshKey());
  const std::string bytes = encodeRepairRecord(record);
  RepairRecord read;
  std::string why;
  for (std::size_t length = 0; length < bytes.size(); ++length)
    EXPECT_FALSE(decodeRepairRecord(bytes.substr(0, length), &read, &why)) << length;
  EXPECT_FALSE(decodeRepairRecord(bytes + '\0', &read, &why));
}

TEST(RepairRecord, MalformedFieldsAreRefusedWithTheirReason) {
  struct Case {
    const char* name;
    std::function<void(std::string&)> spoil;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"magic", [](std::string& b) { b[0] = 'X'; }, "magic"},
      {"format", [](std::string& b) { b[4] = 2; }, "format version 2"},
      {"no packs", [](std::string& b) { archive::setU32(reinterpret_cast<unsigned char*>(&b[66]), 0); }, "0 packs"},
      {"too many packs",
       [](std::string& b) { archive::setU32(reinterpret_cast<unsigned char*>(&b[66]), kMaxRepairPacks + 1); },
       "packs, expected"},
      {"more packs than bytes", [](std::string& b) { archive::setU32(reinterpret_cast<unsigned char*>(&b[66]), 90); },
       "ends inside its pack digests"},
      {"content list too large", [](std::string& b) { b[26 + 7] = 1; }, "content list of"},
      {"no signature", [](std::string& b) { b[kRepairRecordHeaderSize + 3 * kFileDigestSize] = 0; }, "0 signatures"},
  };
  RepairRecord record = sampleRecord();
  sign(record, freshKey());
  for (const Case& c : cases) {
    std::string bytes = encodeRepairRecord(record);
    c.spoil(bytes);
    RepairRecord read;
    std::string why;
    EXPECT_FALSE(decodeRepairRecord(bytes, &read, &why)) << c.name;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
  }
}

TEST(RepairRecord, IsTakenOnlyBesideTheReleaseItWasSignedWith) {
  KeyPair trusted = freshKey(), other = freshKey();
  ReleaseRecord release;
  release.latestPatch = 1430;
  release.sequence = 31;
  release.expiresAt = 2000000000;
  struct Case {
    const char* name;
    std::function<void(RepairRecord&)> change;
    const KeyPair* signer;
    const char* reason;  // nullptr: taken
  };
  const std::vector<Case> cases = {
      {"the release's", [](RepairRecord&) {}, &trusted, nullptr},
      {"data version at the latest patch", [](RepairRecord& r) { r.dataVersion = 1430; }, &trusted, nullptr},
      {"data version above the latest patch", [](RepairRecord& r) { r.dataVersion = 1431; }, &trusted,
       "above the release's latest patch"},
      {"an older release's sequence", [](RepairRecord& r) { r.sequence = 30; }, &trusted, "another release"},
      {"a newer release's sequence", [](RepairRecord& r) { r.sequence = 32; }, &trusted, "another release"},
      {"another expiry", [](RepairRecord& r) { r.expiresAt += 1; }, &trusted, "another release"},
      {"an untrusted key", [](RepairRecord&) {}, &other, "signed by no trusted key"},
      {"changed after signing", [](RepairRecord&) {}, &trusted, "signature does not verify"},
  };
  for (const Case& c : cases) {
    RepairRecord record = sampleRecord();
    c.change(record);
    sign(record, *c.signer);
    if (std::string(c.name) == "changed after signing") record.packs[1].size += 1;
    std::string why;
    bool taken = checkRepairRecord(record, {trusted.publicKey}, release, &why);
    if (c.reason) {
      EXPECT_FALSE(taken) << c.name;
      EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
    } else {
      EXPECT_TRUE(taken) << c.name << ": " << why;
    }
  }
}

TEST(ContentList, EncodesAndDecodesToTheSameList) {
  const std::string bytes = encodeContentList(sampleList());
  ContentList read;
  std::string why;
  ASSERT_TRUE(decodeContentList(bytes, 1426, 3, &read, &why)) << why;
  EXPECT_EQ(encodeContentList(read), bytes);
  ASSERT_EQ(read.files.size(), 3u);
  EXPECT_EQ(read.files[1].name, "data/a.txt");
  EXPECT_EQ(read.keys[2].key, 0x7FFFFFFFu);
  EXPECT_EQ(read.keys[2].pack, 1u);
  for (std::size_t length = 0; length < bytes.size(); ++length)
    EXPECT_FALSE(decodeContentList(bytes.substr(0, length), 1426, 3, &read, &why)) << length;
  EXPECT_FALSE(decodeContentList(bytes + 'x', 1426, 3, &read, &why));
}

TEST(ContentList, HostileListsAreRefusedWithTheirReason) {
  struct Case {
    const char* name;
    std::function<void(ContentList&)> change;
    std::function<void(std::string&)> spoil;
    const char* reason;
  };
  auto none = [](std::string&) {};
  auto same = [](ContentList&) {};
  const std::vector<Case> cases = {
      {"another data version", [](ContentList& l) { l.dataVersion = 1425; }, none, "data version 1425"},
      {"keys out of order", [](ContentList& l) { std::swap(l.keys[0], l.keys[1]); }, none, "does not ascend"},
      {"a key twice", [](ContentList& l) { l.keys[1].key = l.keys[0].key; }, none, "does not ascend"},
      {"a key's pack out of range", [](ContentList& l) { l.keys[0].pack = 3; }, none, "in pack 3 of 3"},
      {"a file's pack out of range", [](ContentList& l) { l.files[0].pack = 7; }, none, "in pack 7 of 3"},
      {"files out of order", [](ContentList& l) { std::swap(l.files[1], l.files[2]); }, none, "does not ascend"},
      {"a name that climbs out", [](ContentList& l) { l.files[2].name = "data/../../evil.exe"; }, none,
       "leaves the installation"},
      {"an absolute name",
       [](ContentList& l) {
         l.files.insert(l.files.begin(), {"/etc/passwd", 1, {}, 0});
       },
       none, "leaves the installation"},
      {"a drive name",
       [](ContentList& l) {
         l.files.insert(l.files.begin(), {"C:\\x", 1, {}, 0});
       },
       none, "leaves the installation"},
      {"a zero byte in a name", [](ContentList& l) { l.files[1].name = std::string("data/a\0b", 8); }, none,
       "leaves the installation"},
      {"one file under two names",
       [](ContentList& l) {
         l.files.push_back({"data/b.txt.", 1, {}, 0});
       },
       none, "two names for one file"},
      {"an empty name", same,
       [](std::string& b) {
         // The first file's name length, right after the three keys.
         b[kContentListHeaderSize + 3 * kContentKeySize] = 0;
       },
       "expected 1.."},
      {"a file of 4 GiB", [](ContentList& l) { l.files[0].size = 0x100000000ull; }, none, "above a package item"},
      {"more keys than bytes", same,
       [](std::string& b) { archive::setU32(reinterpret_cast<unsigned char*>(&b[10]), 0x10000000); },
       "keys do not fit"},
      {"more files than bytes", same,
       [](std::string& b) { archive::setU32(reinterpret_cast<unsigned char*>(&b[14]), 0xFFFFFFFF); },
       "files do not fit"},
      {"magic", same, [](std::string& b) { b[3] = 'R'; }, "magic"},
  };
  for (const Case& c : cases) {
    ContentList list = sampleList();
    c.change(list);
    std::string bytes = encodeContentList(list);
    c.spoil(bytes);
    ContentList read;
    std::string why;
    EXPECT_FALSE(decodeContentList(bytes, 1426, 3, &read, &why)) << c.name;
    EXPECT_NE(why.find(c.reason), std::string::npos) << c.name << ": " << why;
  }
}

TEST(RepairSet, FilesAreNamedByTheirDigest) {
  FileDigest file = digestOf("abc");
  EXPECT_EQ(repairFileName(file, ".rar"), "repair-ba7816bf8f01cfea.rar");
  EXPECT_EQ(repairFileName(file, ".lst"), "repair-ba7816bf8f01cfea.lst");
}

}  // namespace
