// A launcher built with the operator's key against a real nginx: the table
// of attacks on a signed release. In every row but the valid one, nothing is
// extracted, applied, put in place or started, the good files stay, and the
// trace says why. The last row is the launcher built without a key against a
// plain server, which updates as before.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>

#include "archive/byte_order.h"
#include "archive/index_writer.h"
#include "flow_fixture.h"
#include "patch_server.h"
#include "platform/crypto.h"
#include "platform/download.h"
#include "platform/file.h"
#include "platform/test_hooks.h"
#include "release_signer.h"
#include "update/launcher_replace.h"
#include "update/release_check.h"
#include "update/release_verify.h"
#include "update/update_driver.h"

namespace fs = std::filesystem;

namespace {

std::string versionBytes(std::uint32_t launcher, std::uint32_t client) {
  std::string bytes;
  for (std::uint32_t v : {launcher, client})
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return bytes;
}

// This launcher's client beside it, and its record on the server.
const std::string kClient = thisFiles().client;
const std::string kRecord = thisFiles().record;

// What a row's launcher should end with.
struct Outcome {
  std::uint32_t indexVersion;  // the installed data version afterwards
  const char* client;          // the client executable's content afterwards (programBytes of it)
  bool selfUpdate;             // the update program was started
  const char* trace;           // a text the trace must hold
};

// The served record is sent at a byte a second past its first 5 KiB while
// a file "trickle/vlm/patch/<name>" lies in the document root.
NginxOptions signedServerOptions() {
  NginxOptions options;
  options.extraServerConfig =
      "location /vlm/patch/ {"
      "  if (-f $document_root/trickle$uri) { limit_rate_after 5k; limit_rate 1; }"
      "}";
  return options;
}

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
    writeWholeFile(kClient, programBytes("client v1"));
    // The release: patches 11 and 12, client 3, launcher 2.
    server.publishPatchList(12, 2, 3);
    server.publishClient(programBytes("client v3"));
    server.publishLauncher(programBytes("launcher v2"));
    for (std::uint32_t n = 1; n <= 12; ++n) server.publishPatch(n, static_cast<std::uint16_t>(n), n, "data");
  }
  void TearDown() override {
    platform::setTrustedKeysForTests("");
    LauncherDirectoryTest::TearDown();
  }

 public:  // for the attacks of the table
  std::string served(const std::string& name) { return server.served(name); }

  void sign(const vlmpatch::SigningKey& key, std::uint64_t now = 0) {
    std::string error;
    ASSERT_TRUE(signServer(server.patchDirectory(), {key}, now, &error)) << error;
  }

  // A record the tool does not write: blockPatches a block, patches below
  // firstPublished not published, signed by the operator's key and then by
  // `others` more.
  void signByHand(std::uint32_t blockPatches, std::uint32_t firstPublished, std::size_t others = 0) {
    update::ReleaseRecord record;
    record.latestPatch = 12;
    record.latestLauncher = 2;
    record.latestClient = 3;
    record.sequence = static_cast<std::uint64_t>(std::time(nullptr));
    record.expiresAt = record.sequence + 86400;
    record.blockPatches = blockPatches;
    std::string error;
    ASSERT_TRUE(update::digestOfFile(served(thisFiles().launcher).c_str(), &record.launcher, &error)) << error;
    ASSERT_TRUE(update::digestOfFile(served(kClient).c_str(), &record.client, &error)) << error;
    ASSERT_TRUE(writeBlocks(server.patchDirectory(), 12, blockPatches, firstPublished, &record.blockDigests, &error))
        << error;
    std::vector<vlmpatch::SigningKey> keys = {operatorKey};
    for (std::size_t i = 0; i < others; ++i) keys.push_back(freshSigningKey());
    ASSERT_TRUE(writeSignedRecord(server.patchDirectory(), kRecord, record, keys, &error)) << error;
  }

  // Lays the marker that trickles a served file past its first 5 KiB.
  void trickle(const std::string& name) {
    fs::path marker = fs::path(server.nginx().documentRoot()) / "trickle" / "vlm" / "patch" / name;
    fs::create_directories(marker.parent_path());
    writeWholeFile(marker.string(), "");
  }

  std::uint32_t indexVersion() {
    std::string bytes = readWholeFile("data.idx");
    return bytes.size() < 4 ? 0xFFFFFFFFu : archive::getU32(reinterpret_cast<const unsigned char*>(bytes.data()));
  }

  // Runs one update pass and checks its outcome against the row's; returns
  // the trace.
  std::string runAndExpect(const Outcome& expected) {
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(runOnWorkerThread(update::UpdateWorker));
    platform::sleepMs(200);
    std::string trace = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(indexVersion(), expected.indexVersion) << trace;
    EXPECT_EQ(readWholeFile(kClient), programBytes(expected.client));
    RecordedEffects effects = recordedEffects();
    const std::string updateProgram = std::string(update::kUpdateProgramName) + " ";
    bool keUpdate = std::any_of(effects.starts.begin(), effects.starts.end(),
                                [&](const std::string& line) { return line.rfind(updateProgram, 0) == 0; });
    EXPECT_EQ(keUpdate, expected.selfUpdate);
    EXPECT_NE(trace.find(expected.trace), std::string::npos) << "trace:\n" << trace;
    for (const std::string& leftover :
         {std::string("launcher.bin"), std::string("Kelda.bin"), std::string("12.rar"), std::string("12.dat"), kRecord,
          kRecord + ".part", std::string("release-0.blk")})
      EXPECT_FALSE(fileExists(leftover)) << leftover;
    return trace;
  }

  vlmpatch::SigningKey operatorKey = freshSigningKey();
  PatchServer server{signedServerOptions()};
};

const Outcome kNothingTaken = {10, "client v1", false, "Release check failed"};

// The record is this platform's: the other platform's record on the same
// server, signed by the same key, is never asked for.
TEST_F(SignedRelease, AValidReleaseIsTakenWhole) {
  sign(operatorKey);
  std::string error;
  ASSERT_TRUE(writePlatformRecord(server.patchDirectory(), kOtherPlatform, {operatorKey}, &error)) << error;
  runAndExpect({12, "client v3", false, "verified"});
  EXPECT_EQ(update::readAcceptedSequence() > 0, true);
  EXPECT_EQ(server.requestsFor(kRecord), 1);
  EXPECT_EQ(server.requestsFor(otherFiles().record), 0);
}

TEST_F(SignedRelease, OnlyTheOtherPlatformsRecordIsNoRecord) {
  sign(operatorKey);
  std::string error;
  ASSERT_TRUE(writePlatformRecord(server.patchDirectory(), kOtherPlatform, {operatorKey}, &error)) << error;
  fs::remove(served(kRecord));
  runAndExpect({10, "client v1", false, "Release check failed: the release record could not be fetched"});
  EXPECT_EQ(server.requestsFor(kRecord), 1);
  EXPECT_EQ(server.requestsFor(otherFiles().record), 0);
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
       std::string record = readWholeFile(t.served(kRecord));
       record[record.size() - 10] ^= 0x01;
       writeWholeFile(t.served(kRecord), record);
     },
     kNothingTaken},
    {"SignedByAnotherKey", false, [](SignedRelease& t) { t.sign(freshSigningKey()); }, kNothingTaken},
    {"PatchListDiffersFromTheRecord", true,
     [](SignedRelease& t) {
       t.server.publishPatch(13, 13, 13, "evil");
       t.server.publishPatchList(13, 2, 3);
     },
     kNothingTaken},
    {"OlderRecordReplayed",
     true,
     [](SignedRelease& t) {
       std::string old = readWholeFile(t.served(kRecord));
       t.sign(t.operatorKey);  // a newer release, which this installation accepted once
       update::ReleaseRecord newer;
       ASSERT_TRUE(update::decodeReleaseRecord(readWholeFile(t.served(kRecord)), &newer, nullptr));
       ASSERT_TRUE(update::writeAcceptedSequence(newer.sequence));
       writeWholeFile(t.served(kRecord), old);
     },
     {10, "client v1", false, "older than the accepted"}},
    {"ExpiredRecord",
     false,
     [](SignedRelease& t) { t.sign(t.operatorKey, 1000000000); },
     {10, "client v1", false, "expired"}},
    {"TruncatedRecord", true,
     [](SignedRelease& t) {
       std::string record = readWholeFile(t.served(kRecord));
       writeWholeFile(t.served(kRecord), record.substr(0, record.size() - 1));
     },
     kNothingTaken},
    {"OversizedRecord",
     false,
     [](SignedRelease& t) { writeWholeFile(t.served(kRecord), std::string(3 << 20, 'V')); },
     {10, "client v1", false, "more than the release allows"}},
    // A record longer than the list's latestPatch allows (12 patches: 1,083
    // bytes): a valid record at that bound with more behind it, the rest
    // sent at a byte a second. The transfer stops at the bound, well before
    // the slow part; a launcher that read on would fail only as too slow.
    {"RecordPastTheBoundStopsThere",
     false,
     [](SignedRelease& t) {
       t.signByHand(1, 1, update::kMaxRecordSignatures - 1);
       ASSERT_EQ(readWholeFile(t.served(kRecord)).size(), update::largestReleaseRecordSize(12));
       writeWholeFile(t.served(kRecord), readWholeFile(t.served(kRecord)) + std::string(2 << 20, 'x'));
       t.trickle(kRecord);
       platform::DownloadLimits limits = platform::kDefaultDownloadLimits;
       limits.lowSpeedWindowMs = 2000;
       platform::setDownloadLimits(limits);
     },
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
     [](SignedRelease& t) { writeWholeFile(t.served(kClient), programBytes("client v4")); },
     {10, "client v1", false, "Kelda.bin: SHA-256"}},
    {"TamperedPatchBlock",
     true,
     [](SignedRelease& t) {
       std::string block = readWholeFile(t.served("release-0.blk"));
       block[5] ^= 1;
       writeWholeFile(t.served("release-0.blk"), block);
     },
     {10, "client v3", false, "release-0.blk could not be had"}},
    // Signed, and still no program for this system: refused before anything
    // is put in place.
    {"SignedClientOfTheOtherPlatform",
     false,
     [](SignedRelease& t) {
       t.server.publishClient(otherPlatformsProgram("client v3"));
       t.sign(t.operatorKey);
     },
     {10, "client v1", false, "The new client is refused: Kelda.bin is "}},
};

INSTANTIATE_TEST_SUITE_P(Table, Attacks, ::testing::ValuesIn(kAttacks),
                         [](const ::testing::TestParamInfo<Attack>& p) { return p.param.label; });

// The largest record the list allows is read whole: one block digest a
// patch and every signature there may be.
TEST_F(SignedRelease, ARecordAtTheBoundIsRead) {
  signByHand(1, 1, update::kMaxRecordSignatures - 1);
  ASSERT_EQ(readWholeFile(served(kRecord)).size(), update::largestReleaseRecordSize(12));
  trickle(kRecord);  // past 5 KiB: never reached
  runAndExpect({12, "client v3", false, "verified"});
  EXPECT_EQ(server.requestsFor("release-10.blk"), 1);
  EXPECT_EQ(server.requestsFor("release-11.blk"), 1);
}

// A server started for players at version 10: its release gives patches 1
// to 10 size 0 and a digest of zeros. An installation at 10 takes 11 and 12;
// one at 5 is never sent for patch 6, which the release does not publish,
// and stops as after a failed download.
struct FirstPatchCase {
  const char* label;
  std::uint32_t installed;
  Outcome outcome;
  std::uint32_t notFetched;  // a patch never asked for
  bool refused;
};
void PrintTo(const FirstPatchCase& c, std::ostream* out) { *out << c.label; }

class ServerStartedLater : public SignedRelease, public ::testing::WithParamInterface<FirstPatchCase> {};

TEST_P(ServerStartedLater, NeverFetchesAPatchItDoesNotPublish) {
  const FirstPatchCase& c = GetParam();
  ASSERT_TRUE(archive::writeIndexFile("data.idx", c.installed, {{"GA0.VFS", {}}}));
  for (std::uint32_t n = 1; n <= 10; ++n) fs::remove(served(std::to_string(n) + ".rar"));
  signByHand(4, 11);
  std::string trace = runAndExpect(c.outcome);
  EXPECT_EQ(server.requestsFor(std::to_string(c.notFetched) + ".rar"), 0);
  RecordedEffects effects = recordedEffects();
  if (c.refused) {
    ASSERT_EQ(effects.boxes.size(), 1u) << trace;
    EXPECT_EQ(effects.boxes[0].first, "Failed to download the update..");
    EXPECT_TRUE(effects.starts.empty()) << "a failed patch download starts no game";
  } else {
    EXPECT_TRUE(effects.boxes.empty()) << trace;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerStartedLater,
    ::testing::Values(FirstPatchCase{"InstalledAtTheFirstVersion", 10, {12, "client v3", false, "verified"}, 10, false},
                      FirstPatchCase{"InstalledBeforeIt",
                                     5,
                                     {5, "client v3", false,
                                      "Release check failed: patch 6 is not published by this release (size 0, a "
                                      "digest of zeros): it is not fetched."},
                                     6,
                                     true}),
    [](const ::testing::TestParamInfo<FirstPatchCase>& p) { return p.param.label; });

TEST_F(SignedRelease, ATamperedLauncherIsNeitherKeptNorStarted) {
  server.publishPatchList(12, 3, 3);
  sign(operatorKey);
  writeWholeFile(served(thisFiles().launcher), programBytes("launcher v4"));
  runAndExpect({10, "client v1", false, "launcher.bin: SHA-256"});
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(2, 1));
}

// Signed by the operator, and a launcher of the other platform all the same
// (published under this platform's name by mistake): refused before
// anything is kept, recorded or started.
TEST_F(SignedRelease, ASignedLauncherOfTheOtherPlatformIsRefused) {
  server.publishPatchList(12, 3, 3);
  server.publishLauncher(otherPlatformsProgram("launcher v3"));
  sign(operatorKey);
  std::string trace = runAndExpect({10, "client v1", false, "The new launcher is refused: launcher.bin is "});
  EXPECT_NE(trace.find(update::describeProgramKind(otherPlatformsKind())), std::string::npos) << trace;
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(2, 1));
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u);
  EXPECT_EQ(effects.boxes[0].second, "Error updating.");
  EXPECT_TRUE(effects.exitsNormally.empty());
}

// The update program gets the size and SHA-256 the signed record gives.
TEST_F(SignedRelease, ASignedLauncherIsHandedToTheUpdateProgram) {
  server.publishPatchList(12, 3, 3);
  server.publishLauncher(programBytes("launcher v3"));
  sign(operatorKey);
  update::ReleaseRecord record;
  ASSERT_TRUE(update::decodeReleaseRecord(readWholeFile(served(kRecord)), &record, nullptr));
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(runOnWorkerThread(update::UpdateWorker));
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(readWholeFile("launcher.bin"), programBytes("launcher v3"));
  RecordedEffects effects = recordedEffects();
  EXPECT_EQ(effects.starts, std::vector<std::string>{update::updateProgramCommandLine(record.launcher)});
}

TEST_F(SignedRelease, ALauncherWithoutKeysUpdatesFromAPlainServerAsBefore) {
  platform::setTrustedKeysForTests("");
  ASSERT_FALSE(update::releaseChecksOn()) << "this test build carries no keys";
  runAndExpect({12, "client v3", false, "built without release keys"});
}

// "rseq.v" that is not exactly one sequence reads as 0, and the trace says so.
TEST_F(SignedRelease, AnAcceptedSequenceOfAnotherLengthReadsAsZero) {
  struct Case {
    const char* label;
    const char* bytes;  // nullptr: no file
    std::size_t size;
    std::uint64_t read;
    const char* trace;  // nullptr: nothing
  };
  const Case cases[] = {
      {"Missing", nullptr, 0, 0, nullptr},
      {"Eight", "\x2a\0\0\0\0\0\0\x01", 8, 0x010000000000002Aull, nullptr},
      {"Empty", "", 0, 0, "rseq.v is 0 bytes long, not 8: read as sequence 0, so no older release is refused"},
      {"Five", "\x2a\0\0\0\0", 5, 0, "rseq.v is 5 bytes long, not 8: read as sequence 0"},
      {"Nine", "\x2a\0\0\0\0\0\0\x01\x02", 9, 0, "rseq.v is 9 bytes long, not 8: read as sequence 0"},
  };
  for (const Case& c : cases) {
    fs::remove(here("rseq.v"));
    if (c.bytes) writeWholeFile(here("rseq.v"), std::string(c.bytes, c.size));
    ::testing::internal::CaptureStdout();
    const std::uint64_t read = update::readAcceptedSequence();
    const std::string trace = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(read, c.read) << c.label;
    if (c.trace) {
      EXPECT_NE(trace.find(c.trace), std::string::npos) << c.label << ": " << trace;
    } else {
      EXPECT_EQ(trace, "") << c.label;
    }
  }
}

}  // namespace
