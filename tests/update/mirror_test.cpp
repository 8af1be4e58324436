// Several patch servers: two real nginx instances on loopback, named in one
// list in the build's order. Each row breaks the first server (or both) in
// one way and says what the launcher must end with: a download that fails on
// one server is fetched from the next one, the patch list and the signed
// release record always come from one server, and only when every server
// failed does the update take its usual failure path.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/byte_order.h"
#include "archive/index_writer.h"
#include "flow_fixture.h"
#include "patch_server.h"
#include "platform/crypto.h"
#include "platform/test_hooks.h"
#include "release_signer.h"
#include "update/release_check.h"
#include "update/release_verify.h"
#include "update/update_driver.h"
#include "update/versions.h"

namespace fs = std::filesystem;

namespace {

const char* const kFailDownload = "Failed to download the update..";
const char* const kFailExtract = "Failed to extract the update..";

// Serving rules both servers share; a row switches them on for one file by
// laying a marker file outside the patch directory (see markFile).
NginxOptions mirrorOptions() {
  NginxOptions options;
  options.extraServerConfig =
      "location /vlm/patch/ {"
      "  if (-f $document_root/fail500$uri) { return 500; }"
      "  if (-f $document_root/trickle$uri) { limit_rate_after 4k; limit_rate 1; }"
      "}";
  return options;
}

std::string versionBytes(std::uint32_t launcher, std::uint32_t client) {
  unsigned char bytes[8];
  archive::setU32(bytes, launcher);
  archive::setU32(bytes + 4, client);
  return std::string(reinterpret_cast<char*>(bytes), 8);
}

// This launcher's client beside it and on the servers, and its record.
const std::string kClient = thisFiles().client;
const std::string kRecord = thisFiles().record;

std::size_t occurrences(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// How often one server was asked for one file ("{1}" the first, "{2}" the
// second; "{client}" and "{record}" are this launcher's client and record).
struct Requests {
  int server;
  const char* file;
  int count;
};

// What a row's launcher ends with.
struct MirrorOutcome {
  std::uint32_t indexVersion;      // the installed data version afterwards
  const char* client;              // the client executable's content afterwards
  const char* box;                 // the text of the one box shown; nullptr: no box
  bool gameStarted;                // the game client was started
  std::vector<std::string> trace;  // texts the trace holds; "{1}", "{2}": the servers' base URLs;
                                   // "{client}", "{record}" as in Requests
  int attemptsOnFirst;             // downloads begun on the first server; -1: not counted
  std::vector<Requests> requests;  // request counts in the servers' logs
};

class Mirrors;

struct MirrorCase {
  const char* label;
  bool keyed;                 // the launcher carries the operator's key; both servers are signed
  void (*arrange)(Mirrors&);  // done to the servers once both hold the release
  MirrorOutcome outcome;
};

void PrintTo(const MirrorCase& c, std::ostream* out) { *out << c.label; }

class Mirrors : public LauncherDirectoryTest, public ::testing::WithParamInterface<MirrorCase> {
 protected:
  void SetUp() override {
    LauncherDirectoryTest::SetUp();
    ASSERT_TRUE(first.start()) << first.nginx().why();
    ASSERT_TRUE(second.start()) << second.nginx().why();
    setPatchBaseUrlForTests(first.baseUrl() + "," + second.baseUrl());
    update::resetAcceptedRelease();
    // The installation: data version 10, launcher 2, client 1.
    writeWholeFile("GA0.VFS", "");
    ASSERT_TRUE(archive::writeIndexFile("data.idx", 10, {{"GA0.VFS", {}}}));
    writeWholeFile("cver.v", versionBytes(2, 1));
    writeWholeFile(kClient, programBytes("client v1"));
  }
  void TearDown() override {
    platform::setTrustedKeysForTests("");
    LauncherDirectoryTest::TearDown();
  }

 public:  // for the rows of the table
  PatchServer& server(int which) { return which == 1 ? first : second; }
  std::string served(int which, const std::string& name) { return server(which).patchDirectory() + "/" + name; }

  // The release on the first server, signed when keyed, and the second
  // server an exact copy of it: patches 1 to 12 (11 and 12 are due), client
  // 3, launcher 2.
  void publishRelease(bool keyed) {
    first.publishPatchList(12, 2, 3);
    first.publishClient(programBytes("client v3"));
    first.publishLauncher(programBytes("launcher v2"));
    for (std::uint32_t n = 1; n <= 12; ++n) first.publishPatch(n, static_cast<std::uint16_t>(n), n, "data");
    if (keyed) {
      platform::setTrustedKeysForTests(update::toHex(operatorKey.publicKey.data(), operatorKey.publicKey.size()));
      sign(1);
    }
    for (const auto& entry : fs::directory_iterator(first.patchDirectory()))
      second.publishFile(entry.path().filename().string(), readWholeFile(entry.path().string()));
  }

  // Signs a server's directory as vlm-patch does; now 0: the clock's time.
  void sign(int which, std::uint64_t now = 0) {
    std::string error;
    ASSERT_TRUE(signServer(server(which).patchDirectory(), {operatorKey}, now, &error)) << error;
  }

  // Signs a server's directory afresh as an older release: a record made
  // at `now`, whose sequence is that time.
  void signAsOf(int which, std::uint64_t now) {
    // Every platform's record goes: the tool would raise the sequence of
    // any record left.
    for (const update::PlatformFiles& files : update::kPlatformFiles) fs::remove(served(which, files.record));
    sign(which, now);
  }

  std::uint64_t sequenceOf(int which) {
    update::ReleaseRecord record;
    EXPECT_TRUE(update::decodeReleaseRecord(readWholeFile(served(which, kRecord)), &record, nullptr));
    return record.sequence;
  }

  // Lays the marker that turns on a serving rule of mirrorOptions() for one
  // file: "fail500" answers it with 500, "trickle" sends it at a byte a second.
  void markFile(int which, const char* rule, const std::string& name) {
    fs::path marker = fs::path(server(which).nginx().documentRoot()) / rule / "vlm" / "patch" / name;
    fs::create_directories(marker.parent_path());
    writeWholeFile(marker.string(), "");
  }

  std::string expand(std::string text) {
    const std::pair<std::string, std::string> placeholders[] = {
        {"{1}", server(1).baseUrl()}, {"{2}", server(2).baseUrl()}, {"{client}", kClient}, {"{record}", kRecord}};
    for (const auto& [placeholder, value] : placeholders) {
      for (std::size_t at; (at = text.find(placeholder)) != std::string::npos;)
        text.replace(at, placeholder.size(), value);
    }
    return text;
  }

  std::uint32_t indexVersion() {
    std::string bytes = readWholeFile("data.idx");
    return bytes.size() < 4 ? 0xFFFFFFFFu : archive::getU32(reinterpret_cast<const unsigned char*>(bytes.data()));
  }

  // Runs one update pass and checks its outcome against the row's.
  void runAndExpect(const MirrorOutcome& expected) {
    ::testing::internal::CaptureStdout();
    ASSERT_TRUE(runOnWorkerThread(update::UpdateWorker));
    std::string trace = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(indexVersion(), expected.indexVersion) << trace;
    EXPECT_EQ(readWholeFile(kClient), programBytes(expected.client));
    if (expected.gameStarted) {
      EXPECT_TRUE(waitForStarts(1, 3000)) << "the game is started";
    } else {
      platform::sleepMs(300);
    }
    RecordedEffects effects = recordedEffects();
    EXPECT_EQ(effects.starts.size(), expected.gameStarted ? 1u : 0u);
    if (expected.gameStarted && !effects.starts.empty()) {
      EXPECT_EQ(effects.starts[0], update::gameClientCommandLine());
    }
    if (expected.box) {
      ASSERT_EQ(effects.boxes.size(), 1u) << trace;
      EXPECT_EQ(effects.boxes[0].first, expected.box);
      EXPECT_EQ(effects.boxes[0].second, "");
    } else {
      EXPECT_EQ(effects.boxes.size(), 0u) << trace;
    }
    for (const std::string& text : expected.trace)
      EXPECT_NE(trace.find(expand(text)), std::string::npos) << expand(text) << "\ntrace:\n" << trace;
    if (expected.attemptsOnFirst >= 0) {
      EXPECT_EQ(occurrences(trace, "Starting download of: " + first.baseUrl() + "/"),
                static_cast<std::size_t>(expected.attemptsOnFirst))
          << trace;
    }
    for (const Requests& r : expected.requests)
      EXPECT_EQ(server(r.server).requestsFor(expand(r.file)), r.count) << "server " << r.server << ", " << r.file;
    for (const char* leftover : {"Kelda.bin", "11.rar", "12.rar", "11.dat", "12.dat", "patch.hpl", "release-0.blk",
                                 "11.rar.part", "12.rar.part"})
      EXPECT_FALSE(fileExists(leftover)) << leftover;
    EXPECT_FALSE(fileExists(kRecord));
  }

  vlmpatch::SigningKey operatorKey = [] {
    vlmpatch::SigningKey key;
    EXPECT_TRUE(platform::generateP256(key.secret, key.publicKey.data()));
    return key;
  }();
  PatchServer first{mirrorOptions()};
  PatchServer second{mirrorOptions()};
};

TEST_P(Mirrors, EachDownloadFailsOverToTheNextServer) {
  publishRelease(GetParam().keyed);
  GetParam().arrange(*this);
  runAndExpect(GetParam().outcome);
}

// The update done: patches 11 and 12 applied, client 3 in place.
MirrorOutcome done(std::vector<std::string> trace, int attemptsOnFirst, std::vector<Requests> requests) {
  return {12, "client v3", nullptr, true, std::move(trace), attemptsOnFirst, std::move(requests)};
}

const MirrorCase kCases[] = {
    // One server fails: the other serves, and serves the downloads after it.
    {"FirstServerDown", false, [](Mirrors& t) { t.server(1).nginx().stop(); },
     done({"Patch servers: {1}, {2}", "Error downloading : {1}/patch.hpl",
           "patch.hpl: {1} failed; trying the next patch server: {2}"},
          1, {{2, "patch.hpl", 1}, {2, "{client}", 1}, {2, "11.rar", 1}, {2, "12.rar", 1}})},
    {"FirstServerDownSigned", true, [](Mirrors& t) { t.server(1).nginx().stop(); },
     done({"patch.hpl: {1} failed; trying the next patch server: {2}", "verified"}, 1,
          {{2, "patch.hpl", 1}, {2, "{record}", 1}, {2, "release-0.blk", 1}, {2, "12.rar", 1}})},
    {"FirstAnswers404ForAPatch", false, [](Mirrors& t) { fs::remove(t.served(1, "11.rar")); },
     done({"11.rar: {1} failed; trying the next patch server: {2}"}, 3,
          {{1, "11.rar", 1}, {2, "11.rar", 1}, {1, "12.rar", 0}, {2, "12.rar", 1}})},
    {"FirstAnswers500ForAPatch", false, [](Mirrors& t) { t.markFile(1, "fail500", "12.rar"); },
     done({"Error downloading : {1}/12.rar", "The download failed: the server refused the file.",
           "12.rar: {1} failed; trying the next patch server: {2}"},
          4, {{1, "12.rar", 1}, {2, "12.rar", 1}, {2, "11.rar", 0}})},
    {"FirstLacksTheClient", false, [](Mirrors& t) { fs::remove(t.served(1, kClient)); },
     done({"{client}: {1} failed; trying the next patch server: {2}"}, 2,
          {{2, "{client}", 1}, {1, "11.rar", 0}, {2, "11.rar", 1}})},
    {"FirstTricklesAPatch", false,
     [](Mirrors& t) {
       for (int which : {1, 2}) t.server(which).publishPatch(11, 11, 11, std::string(64 * 1024, 'e'));
       t.markFile(1, "trickle", "11.rar");
       platform::DownloadLimits limits = platform::kDefaultDownloadLimits;
       limits.lowSpeedWindowMs = 2000;
       platform::setDownloadLimits(limits);
     },
     done({"The download failed: the transfer was too slow.", "11.rar: {1} failed; trying the next patch server: {2}"},
          3, {{2, "11.rar", 1}, {1, "12.rar", 0}})},
    {"EachServesWhatTheOtherLacks", false,
     [](Mirrors& t) {
       fs::remove(t.served(1, "11.rar"));
       fs::remove(t.served(2, "12.rar"));
     },
     done({"11.rar: {1} failed; trying the next patch server: {2}",
           "12.rar: {2} failed; trying the next patch server: {1}"},
          4, {{1, "11.rar", 1}, {2, "11.rar", 1}, {2, "12.rar", 1}, {1, "12.rar", 1}})},
    // A signed release: a file that is not the one the release names fails
    // over like any failed download.
    {"FirstServesATamperedPatch", true,
     [](Mirrors& t) { t.server(1).publishFile("12.rar", readWholeFile(t.served(1, "11.rar"))); },
     done({"Error downloading : {1}/12.rar", "12.rar: SHA-256", "12.rar: {1} failed; trying the next patch server: {2}",
           "Starting download of: {2}/12.rar"},
          -1, {{1, "12.rar", 1}, {2, "12.rar", 1}})},
    {"FirstSendsAPatchPastItsSize", true,
     [](Mirrors& t) { writeWholeFile(t.served(1, "11.rar"), readWholeFile(t.served(1, "11.rar")) + "x"); },
     done({"more than the release allows", "11.rar: {1} failed; trying the next patch server: {2}"}, -1,
          {{2, "11.rar", 1}, {1, "12.rar", 0}})},
    {"FirstServesATamperedPatchBlock", true,
     [](Mirrors& t) {
       std::string block = readWholeFile(t.served(1, "release-0.blk"));
       block[5] ^= 1;
       writeWholeFile(t.served(1, "release-0.blk"), block);
     },
     done({"release-0.blk: {1} failed; trying the next patch server: {2}"}, -1, {{2, "release-0.blk", 1}})},
    // The patch list and the record come from one server: a stale or
    // half-synced mirror's pair is refused whole and the next server's
    // pair is fetched afresh.
    {"FirstServesAnOlderSignedPair", true,
     [](Mirrors& t) {
       ASSERT_TRUE(update::writeAcceptedSequence(t.sequenceOf(2)));
       t.server(1).publishPatchList(11, 2, 3);
       t.signAsOf(1, static_cast<std::uint64_t>(std::time(nullptr)) - 100000);
     },
     done({"is older than the accepted", "patch.hpl and {record}: {1} failed; trying the next patch server: {2}"}, 2,
          {{1, "patch.hpl", 1},
           {1, "{record}", 1},
           {2, "patch.hpl", 1},
           {2, "{record}", 1},
           {1, "11.rar", 0},
           {1, "{client}", 0}})},
    {"FirstServesAnExpiredPair", true, [](Mirrors& t) { t.signAsOf(1, 1000000000); },
     done({"expired", "patch.hpl and {record}: {1} failed; trying the next patch server: {2}"}, 2,
          {{2, "patch.hpl", 1}, {2, "{record}", 1}, {1, "12.rar", 0}})},
    {"FirstHasNoRecord", true, [](Mirrors& t) { fs::remove(t.served(1, kRecord)); },
     done({"patch.hpl and {record}: {1} failed; trying the next patch server: {2}"}, 2,
          {{1, "patch.hpl", 1}, {2, "patch.hpl", 1}, {2, "{record}", 1}})},
    {"FirstListIsAheadOfItsRecord", true,
     [](Mirrors& t) {
       t.server(1).publishPatch(13, 13, 13, "data");
       t.server(1).publishPatchList(13, 2, 3);
     },
     done({"differ from the patch list's", "patch.hpl and {record}: {1} failed; trying the next patch server: {2}"}, 2,
          {{2, "patch.hpl", 1}, {2, "{record}", 1}, {1, "13.rar", 0}, {2, "13.rar", 0}})},
    // Every server fails: the usual failure path, nothing applied.
    {"BothDown",
     false,
     [](Mirrors& t) {
       t.server(1).nginx().stop();
       t.server(2).nginx().stop();
     },
     {10,
      "client v1",
      kFailDownload,
      true,
      {"Error downloading : {1}/patch.hpl", "Error downloading : {2}/patch.hpl",
       "patch.hpl: every patch server failed."},
      1,
      {}}},
    {"BothLackAPatch",
     false,
     [](Mirrors& t) {
       fs::remove(t.served(1, "12.rar"));
       fs::remove(t.served(2, "12.rar"));
     },
     {11,
      "client v3",
      kFailDownload,
      false,
      {"12.rar: every patch server failed."},
      -1,
      {{1, "12.rar", 1}, {2, "12.rar", 1}}}},
    {"BothServeATamperedPatch",
     true,
     [](Mirrors& t) {
       for (int which : {1, 2}) t.server(which).publishFile("12.rar", readWholeFile(t.served(which, "11.rar")));
     },
     {11, "client v3", kFailDownload, false, {"12.rar: every patch server failed."}, -1, {}}},
    {"BothServeExpiredPairs",
     true,
     [](Mirrors& t) {
       t.signAsOf(1, 1000000000);
       t.signAsOf(2, 1000000000);
     },
     {10,
      "client v1",
      kFailDownload,
      true,
      {"Release check failed: record: expired", "patch.hpl and {record}: every patch server failed."},
      -1,
      {{1, "{client}", 0}, {2, "{client}", 0}, {2, "11.rar", 0}}}},
    // Without keys the launcher cannot tell a stale mirror from one with
    // nothing new, nor a damaged patch from a good one before it is
    // extracted: these rows show what such a launcher does.
    {"UnsignedStaleMirrorLooksLikeNothingNew",
     false,
     [](Mirrors& t) { t.server(1).publishPatchList(10, 2, 1); },
     {10, "client v1", nullptr, true, {}, 1, {{2, "patch.hpl", 0}}}},
    {"UnsignedDamagedPatchIsAnExtractFailure",
     false,
     [](Mirrors& t) { writeWholeFile(t.served(1, "12.rar"), "this is no RAR archive"); },
     {11, "client v3", kFailExtract, false, {}, -1, {{2, "12.rar", 0}}}},
};

INSTANTIATE_TEST_SUITE_P(Table, Mirrors, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<MirrorCase>& p) { return p.param.label; });

// The build setting VLM_PATCH_HOST: host[:port] entries, comma separated.
struct HostListCase {
  const char* label;
  const char* setting;
  std::vector<std::string> baseUrls;
};

TEST(PatchHostList, EachEntryIsOneServerInTheGivenOrder) {
  const HostListCase cases[] = {
      {"One", "patch.example.invalid", {"http://patch.example.invalid/vlm/patch"}},
      {"OneWithPort", "127.0.0.1:8080", {"http://127.0.0.1:8080/vlm/patch"}},
      {"Two",
       "a.example.invalid,b.example.invalid:81",
       {"http://a.example.invalid/vlm/patch", "http://b.example.invalid:81/vlm/patch"}},
      {"OrderKept",
       "z.invalid,a.invalid,m.invalid",
       {"http://z.invalid/vlm/patch", "http://a.invalid/vlm/patch", "http://m.invalid/vlm/patch"}},
      {"BlanksAroundEntries",
       " a.invalid ,\tb.invalid\t",
       {"http://a.invalid/vlm/patch", "http://b.invalid/vlm/patch"}},
      {"TrailingComma", "a.invalid,", {"http://a.invalid/vlm/patch"}},
      {"EmptyEntries", ",a.invalid,, ,b.invalid", {"http://a.invalid/vlm/patch", "http://b.invalid/vlm/patch"}},
      {"RepeatedEntryOnce",
       "a.invalid,b.invalid,a.invalid",
       {"http://a.invalid/vlm/patch", "http://b.invalid/vlm/patch"}},
      {"Empty", "", {}},
      {"OnlyCommasAndBlanks", " , ,", {}},
  };
  for (const HostListCase& c : cases) EXPECT_EQ(update::baseUrlsOfPatchHosts(c.setting), c.baseUrls) << c.label;
}

// VLM_PATCH_BASE_URL in test and demo builds: whole base URLs, comma
// separated, read by the same rules; a list with no entry leaves the build's.
TEST(PatchBaseUrlList, TheEnvironmentListReplacesTheBuildsInOrder) {
  const std::vector<std::string> build = update::baseUrlsOfPatchHosts(VLM_PATCH_HOST_FOR_TESTS);
  struct Case {
    const char* label;
    const char* variable;
    std::vector<std::string> baseUrls;
  };
  const Case cases[] = {
      {"One", "http://127.0.0.1:1/vlm/patch", {"http://127.0.0.1:1/vlm/patch"}},
      {"Two",
       "http://127.0.0.1:1/vlm/patch, http://127.0.0.1:2/p,",
       {"http://127.0.0.1:1/vlm/patch", "http://127.0.0.1:2/p"}},
      {"Repeated", "http://x/p,http://x/p", {"http://x/p"}},
      {"NoEntry", " , ", build},
      {"Unset", "", build},
  };
  for (const Case& c : cases) {
    setPatchBaseUrlForTests(c.variable);
    EXPECT_EQ(update::patchBaseUrls(), c.baseUrls) << c.label;
  }
  setPatchBaseUrlForTests("");
  ASSERT_FALSE(build.empty());
  EXPECT_EQ(update::patchBaseUrl(), build[0]);
}

}  // namespace
