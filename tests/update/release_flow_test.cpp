// A launcher built with the operator's key against a real nginx: the table
// of attacks on a signed release. In every row but the valid one, nothing is
// extracted, applied, put in place or started, the good files stay, and the
// trace says why. The last row is the launcher built without a key against a
// plain server, which updates as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "archive/byte_order.h"
#include "archive/index_writer.h"
#include "flow_fixture.h"
#include "patch_server.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/test_hooks.h"
#include "tools/vlm_patch/release_files.h"
#include "update/release_check.h"
#include "update/release_verify.h"
#include "update/update_driver.h"

namespace fs = std::filesystem;

namespace {

vlmpatch::SigningKey freshKey() {
  vlmpatch::SigningKey key;
  EXPECT_TRUE(platform::generateP256(key.secret, key.publicKey.data()));
  return key;
}

std::string versionBytes(std::uint32_t launcher, std::uint32_t client) {
  std::string bytes;
  for (std::uint32_t v : {launcher, client})
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return bytes;
}

// What a row's launcher should end with.
struct Outcome {
  std::uint32_t indexVersion;  // the installed data version afterwards
  const char* client;          // the client executable's content afterwards
  bool selfUpdate;             // the update program was started
  const char* trace;           // a text the trace must hold
};

class SignedRelease : public LauncherDirectoryTest {
 protected:
  void SetUp() override {
    LauncherDirectoryTest::SetUp();
    ASSERT_TRUE(server.start()) << server.nginx().why();
    platform::setTrustedKeysForTests(update::toHex(operatorKey.publicKey.data(), operatorKey.publicKey.size()));
    update::resetAcceptedRelease();
    // The installation: data version 10, launcher 2, client 1.
    writeWholeFile("GA0.VFS", "");
    ASSERT_TRUE(archive::writeIndexFile("data.idx", 10, {{"GA0.VFS", {}}}));
    writeWholeFile("cver.v", versionBytes(2, 1));
    writeWholeFile("Kelda.exe", "client v1");
    // The release: patches 11 and 12, client 3, launcher 2.
    server.publishPatchList(12, 2, 3);
    server.publishFile("Kelda.exe", "client v3");
    server.publishFile("Start VLM.exe", "launcher v2");
    for (std::uint32_t n = 1; n <= 12; ++n) server.publishPatch(n, static_cast<std::uint16_t>(n), n, "data");
  }
  void TearDown() override {
    platform::setTrustedKeysForTests("");
    LauncherDirectoryTest::TearDown();
  }

 public:  // for the attacks of the table
  std::string served(const std::string& name) { return server.patchDirectory() + "/" + name; }

  void sign(const vlmpatch::SigningKey& key, std::uint64_t now = 0) {
    vlmpatch::SignOptions options;
    options.keys.push_back(key);
    options.now = now;
    vlmpatch::PatchList list;
    std::string error;
    ASSERT_TRUE(vlmpatch::readServerPatchList(server.patchDirectory(), &list, &error)) << error;
    ASSERT_TRUE(vlmpatch::signRelease(server.patchDirectory(), list, options, &error)) << error;
  }

  std::uint32_t indexVersion() {
    std::string bytes = readWholeFile("data.idx");
    return bytes.size() < 4 ? 0xFFFFFFFFu : archive::getU32(reinterpret_cast<const unsigned char*>(bytes.data()));
  }

  // Runs one update pass and checks its outcome against the row's.
  void runAndExpect(const Outcome& expected) {
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(runOnWorkerThread(update::UpdateWorker));
    platform::sleepMs(200);
    std::string trace = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(indexVersion(), expected.indexVersion);
    EXPECT_EQ(readWholeFile("Kelda.exe"), expected.client);
    RecordedEffects effects = recordedEffects();
    bool keUpdate = std::count(effects.starts.begin(), effects.starts.end(), std::string("KeUpdate.exe")) > 0;
    EXPECT_EQ(keUpdate, expected.selfUpdate);
    EXPECT_NE(trace.find(expected.trace), std::string::npos) << "trace:\n" << trace;
    for (const char* leftover : {"launcher.bin", "Kelda.bin", "12.rar", "12.dat", "release.rec", "release-0.blk"})
      EXPECT_FALSE(fileExists(leftover)) << leftover;
  }

  vlmpatch::SigningKey operatorKey = freshKey();
  PatchServer server;
};

const Outcome kNothingTaken = {10, "client v1", false, "Release check failed"};

TEST_F(SignedRelease, AValidReleaseIsTakenWhole) {
  sign(operatorKey);
  runAndExpect({12, "client v3", false, "verified"});
  EXPECT_EQ(update::readAcceptedSequence() > 0, true);
}

// One attack: what is done to the signed server before the pass, and what
// the launcher must end with.
struct Attack {
  const char* label;
  bool signFirst;
  void (*attack)(SignedRelease&);
  Outcome outcome;
};

void PrintTo(const Attack& attack, std::ostream* out) { *out << attack.label; }

class Attacks : public SignedRelease, public ::testing::WithParamInterface<Attack> {};

TEST_P(Attacks, TakeNothingTheReleaseDoesNotVouchFor) {
  if (GetParam().signFirst) sign(operatorKey);
  GetParam().attack(*this);
  runAndExpect(GetParam().outcome);
}

const Attack kAttacks[] = {
    // On the record: nothing at all is taken.
    {"UnsignedServer", false, [](SignedRelease&) {}, kNothingTaken},
    {"ForgedSignature", true,
     [](SignedRelease& t) {
       std::string record = readWholeFile(t.served("release.rec"));
       record[record.size() - 10] ^= 0x01;
       writeWholeFile(t.served("release.rec"), record);
     },
     kNothingTaken},
    {"SignedByAnotherKey", false, [](SignedRelease& t) { t.sign(freshKey()); }, kNothingTaken},
    {"PatchListDiffersFromTheRecord", true,
     [](SignedRelease& t) {
       t.server.publishPatch(13, 13, 13, "evil");
       t.server.publishPatchList(13, 2, 3);
     },
     kNothingTaken},
    {"OlderRecordReplayed",
     true,
     [](SignedRelease& t) {
       std::string old = readWholeFile(t.served("release.rec"));
       t.sign(t.operatorKey);  // a newer release, which this installation accepted once
       update::ReleaseRecord newer;
       ASSERT_TRUE(update::decodeReleaseRecord(readWholeFile(t.served("release.rec")), &newer, nullptr));
       ASSERT_TRUE(update::writeAcceptedSequence(newer.sequence));
       writeWholeFile(t.served("release.rec"), old);
     },
     {10, "client v1", false, "older than the accepted"}},
    {"ExpiredRecord",
     false,
     [](SignedRelease& t) { t.sign(t.operatorKey, 1000000000); },
     {10, "client v1", false, "expired"}},
    {"TruncatedRecord", true,
     [](SignedRelease& t) {
       std::string record = readWholeFile(t.served("release.rec"));
       writeWholeFile(t.served("release.rec"), record.substr(0, record.size() - 1));
     },
     kNothingTaken},
    {"OversizedRecord",
     false,
     [](SignedRelease& t) { writeWholeFile(t.served("release.rec"), std::string(3 << 20, 'V')); },
     {10, "client v1", false, "more than the release allows"}},
    // On the files: the pass stops at the first file that is not the one
    // the release names; what came before it stays.
    {"ValidPatchServedUnderAnotherNumber",
     true,
     [](SignedRelease& t) {
       // Copied by hand: mingw's copy_file refuses overwrite_existing under Wine.
       writeWholeFile(t.served("12.rar"), readWholeFile(t.served("11.rar")));
     },
     {11, "client v3", false, "12.rar: SHA-256"}},
    {"PatchOneByteLonger",
     true,
     [](SignedRelease& t) { writeWholeFile(t.served("12.rar"), readWholeFile(t.served("12.rar")) + "x"); },
     {11, "client v3", false, "more than the release allows"}},
    {"PatchOneByteShorter",
     true,
     [](SignedRelease& t) {
       std::string bytes = readWholeFile(t.served("12.rar"));
       writeWholeFile(t.served("12.rar"), bytes.substr(0, bytes.size() - 1));
     },
     {11, "client v3", false, "12.rar: size"}},
    {"BodyFarBeyondTheRecordedSize",
     true,
     [](SignedRelease& t) { writeWholeFile(t.served("12.rar"), std::string(64 << 20, 'x')); },
     {11, "client v3", false, "more than the release allows"}},
    {"TamperedClient",
     true,
     [](SignedRelease& t) { writeWholeFile(t.served("Kelda.exe"), "client v4"); },
     {10, "client v1", false, "Kelda.bin: SHA-256"}},
    {"TamperedPatchBlock",
     true,
     [](SignedRelease& t) {
       std::string block = readWholeFile(t.served("release-0.blk"));
       block[5] ^= 1;
       writeWholeFile(t.served("release-0.blk"), block);
     },
     {10, "client v3", false, "release-0.blk could not be had"}},
};

INSTANTIATE_TEST_SUITE_P(Table, Attacks, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& p) { return p.param.label; });

TEST_F(SignedRelease, ATamperedLauncherIsNeitherKeptNorStarted) {
  server.publishPatchList(12, 3, 3);
  sign(operatorKey);
  writeWholeFile(served("Start VLM.exe"), "launcher v4");
  runAndExpect({10, "client v1", false, "launcher.bin: SHA-256"});
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(2, 1));
}

TEST_F(SignedRelease, ASignedLauncherIsHandedToTheUpdateProgram) {
  server.publishPatchList(12, 3, 3);
  server.publishFile("Start VLM.exe", "launcher v3");
  sign(operatorKey);
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(runOnWorkerThread(update::UpdateWorker));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(readWholeFile("launcher.bin"), "launcher v3");
  RecordedEffects effects = recordedEffects();
  EXPECT_EQ(std::count(effects.starts.begin(), effects.starts.end(), std::string("KeUpdate.exe")), 1);
}

TEST_F(SignedRelease, ALauncherWithoutKeysUpdatesFromAPlainServerAsBefore) {
  platform::setTrustedKeysForTests("");
  ASSERT_FALSE(update::releaseChecksOn()) << "this test build carries no keys";
  runAndExpect({12, "client v3", false, "built without release keys"});
}

}  // namespace
