// The repair against a real nginx: a launcher built with the operator's key,
// an installation at the server's latest version, the release's repair set
// published with vlm-patch, and a table of damage. Every row ends with the
// installation logically equal to the release (every key's bytes, every
// loose file, the version), having fetched no pack but those that hold a
// damaged item; the rows that cannot finish keep what they repaired and the
// next run finishes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <string>

#include "archive/byte_order.h"
#include "archive/index_writer.h"
#include "archive/quick_check.h"
#include "flow_fixture.h"
#include "patch_server.h"
#include "platform/test_hooks.h"
#include "release_signer.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/compare.h"
#include "tools/vlm_patch/install_tree.h"
#include "update/game_start.h"
#include "update/release_check.h"
#include "update/release_verify.h"
#include "update/repair.h"
#include "update/repair_set.h"
#include "update/update_driver.h"

namespace fs = std::filesystem;

namespace {

std::string versionBytes(std::uint32_t launcher, std::uint32_t client) {
  std::string bytes;
  for (std::uint32_t v : {launcher, client})
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return bytes;
}

std::string patterned(std::size_t size, std::uint32_t seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + i / 251) & 0xFF);
  return bytes;
}

// The release: two archives of 24 keys each, 1 to 47 KiB, and three loose
// files, at version 12 (or another), written into dir.
void writeRelease(const std::string& dir, std::uint32_t version = 12) {
  fs::create_directories(fs::path(dir) / "data");
  std::vector<archive::IndexArchiveSpec> archives;
  for (int a = 0; a < 2; ++a) {
    const std::string name = "GA" + std::to_string(a) + ".VFS";
    std::string bytes;
    std::vector<archive::FileEntry> entries;
    for (std::uint32_t i = 0; i < 24; ++i) {
      std::uint32_t key = 0x500 + static_cast<std::uint32_t>(a) * 0x100 + i * 3;
      std::string data = patterned(1024 * (1 + (i * 7 + a) % 47), key);
      entries.push_back({key, static_cast<std::uint32_t>(bytes.size()), static_cast<std::uint32_t>(data.size())});
      bytes += data;
    }
    writeWholeFile((fs::path(dir) / name).string(), bytes);
    archives.push_back({name, entries});
  }
  ASSERT_TRUE(archive::writeIndexFile((fs::path(dir) / "data.idx").string().c_str(), version, archives));
  writeWholeFile((fs::path(dir) / "readme.txt").string(), "welcome");
  writeWholeFile((fs::path(dir) / "data" / "news.txt").string(), patterned(30000, 1));
  writeWholeFile((fs::path(dir) / "data" / "empty.txt").string(), "");
}

class Repair : public LauncherDirectoryTest {
 protected:
  void SetUp() override {
    LauncherDirectoryTest::SetUp();
    ASSERT_TRUE(server.start()) << server.nginx().why();
    platform::setTrustedKeysForTests(update::toHex(operatorKey.publicKey.data(), operatorKey.publicKey.size()));
    update::resetAcceptedRelease();
    // The server: patches 1 to 12, launcher 2, client 1, as installed.
    server.publishPatchList(12, 2, 1);
    server.publishClient(programBytes("client v1"));
    server.publishLauncher(programBytes("launcher v2"));
    for (std::uint32_t n = 1; n <= 12; ++n) server.publishPatch(n, static_cast<std::uint16_t>(n), n, "data");
    std::string error;
    ASSERT_TRUE(signServer(server.patchDirectory(), {operatorKey}, 0, &error)) << error;
    // The release, and its repair set on the server.
    release = releaseDir.path() + "/release";
    ASSERT_NO_FATAL_FAILURE(writeRelease(release));
    const std::string keyFile = releaseDir.path() + "/op.key";
    writeWholeFile(keyFile, vlmpatch::formatSigningKey(operatorKey));
    ASSERT_EQ(vlmpatch::runPublishRepairSet(
                  {server.patchDirectory(), release, "--key", keyFile, "--pack-size", "64K", "--expires-days", "5"}),
              vlmpatch::kExitOk);
    // The installation: the release, with the launcher's own files.
    ASSERT_NO_FATAL_FAILURE(writeRelease(directory_));
    writeWholeFile("cver.v", versionBytes(2, 1));
    writeWholeFile(thisFiles().client, programBytes("client v1"));
  }
  void TearDown() override {
    platform::setTrustedKeysForTests("");
    update::setRepairAsked(false);
    LauncherDirectoryTest::TearDown();
  }

 public:
  update::RepairRecord repairRecord() {
    update::RepairRecord record;
    std::string why;
    EXPECT_TRUE(update::decodeRepairRecord(readWholeFile(server.served(update::kRepairRecordName)), &record, &why))
        << why;
    return record;
  }
  update::ContentList contentList() {
    update::RepairRecord record = repairRecord();
    update::ContentList list;
    std::string why;
    EXPECT_TRUE(
        update::decodeContentList(readWholeFile(server.served(update::repairFileName(record.contentList, ".lst"))),
                                  record.dataVersion, static_cast<std::uint32_t>(record.packs.size()), &list, &why))
        << why;
    return list;
  }
  std::string packName(std::uint32_t pack) { return update::repairFileName(repairRecord().packs[pack], ".rar"); }
  std::uint32_t packOfKey(std::uint32_t key) {
    for (const update::RepairKey& k : contentList().keys)
      if (k.key == key) return k.pack;
    ADD_FAILURE() << "no key " << key;
    return 0;
  }
  std::uint32_t packOfFile(const std::string& name) {
    for (const update::RepairFile& f : contentList().files)
      if (f.name == name) return f.pack;
    ADD_FAILURE() << "no file " << name;
    return 0;
  }
  // The packs the server was asked for, by name.
  std::set<std::string> packsFetched() {
    std::set<std::string> fetched;
    for (const update::FileDigest& pack : repairRecord().packs) {
      std::string name = update::repairFileName(pack, ".rar");
      if (server.requestsFor(name) > 0) fetched.insert(name);
    }
    return fetched;
  }

  // As a new run of the launcher: its state afresh, the key kept.
  void nextRun() {
    resetLauncherState();
    update::gameStartDelayMs = 20;
    installRecorders();
    platform::setTrustedKeysForTests(update::toHex(operatorKey.publicKey.data(), operatorKey.publicKey.size()));
    update::resetAcceptedRelease();
  }

  std::string runPass() {
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(runOnWorkerThread(update::UpdateWorker));
    platform::sleepMs(200);
    return ::testing::internal::GetCapturedStdout();
  }

  // The differences between the installation and the release, the test's
  // own binary aside.
  std::string differencesFromRelease() {
    vlmpatch::InstallTree a, b;
    std::vector<std::string> problems;
    if (!vlmpatch::readInstallTree(release, &a, &problems) || !vlmpatch::readInstallTree(directory_, &b, &problems)) {
      std::string text = "unreadable:";
      for (const std::string& p : problems) text += " " + p;
      return text;
    }
    vlmpatch::TreeComparison comparison;
    std::string error;
    if (!vlmpatch::compareTrees(a, b, &comparison, &error)) return error;
    const std::string self = fs::path(executableName()).filename().string();
    std::string text;
    for (const std::string& line : comparison.differences)
      if (line.find(self) == std::string::npos) text += line + "\n";
    return text;
  }

  // Whether the client was started (the game start takes 20 ms here).
  bool gameStarted() {
    if (!waitForStarts(1, 3000)) return false;
    RecordedEffects effects = recordedEffects();
    return std::count(effects.starts.begin(), effects.starts.end(), update::gameClientCommandLine()) == 1;
  }

  vlmpatch::SigningKey operatorKey = freshSigningKey();
  PatchServer server;
  TempWorkDir releaseDir;
  std::string release;
};

struct Damage {
  const char* name;
  bool ask;  // the player asks for the repair (the damage leaves the archives long enough)
  std::function<void(Repair&)> damage;
  // The packs that hold what was damaged; every pack when empty.
  std::function<std::set<std::string>(Repair&)> packs;
  const char* trace;
};

void PrintTo(const Damage& damage, std::ostream* out) { *out << damage.name; }

void flip(const std::string& path, std::size_t at) {
  std::string bytes = readWholeFile(path);
  bytes[at] = static_cast<char>(bytes[at] ^ 0x5A);
  writeWholeFile(path, bytes);
}

class RepairTable : public Repair, public ::testing::WithParamInterface<Damage> {};

TEST_P(RepairTable, IsRepairedFromThePacksThatHoldTheDamage) {
  const Damage& row = GetParam();
  const std::set<std::string> expected = [&] {
    if (row.packs) return row.packs(*this);
    std::set<std::string> all;
    for (const update::FileDigest& pack : repairRecord().packs) all.insert(update::repairFileName(pack, ".rar"));
    return all;
  }();
  row.damage(*this);
  update::setRepairAsked(row.ask);
  std::string trace = runPass();
  EXPECT_NE(trace.find("Repair: done"), std::string::npos) << trace;
  EXPECT_NE(trace.find(row.trace), std::string::npos) << trace;
  EXPECT_EQ(differencesFromRelease(), "") << trace;
  std::set<std::string> fetched = packsFetched();
  std::uint64_t bytes = 0;
  for (const std::string& name : fetched) bytes += fs::file_size(server.served(name));
  std::cout << row.name << ": " << fetched.size() << " of " << repairRecord().packs.size() << " packs fetched, "
            << bytes << " bytes\n";
  if (row.packs) {
    EXPECT_EQ(fetched, expected) << trace;
  } else {
    // Without the index (or an archive) every key of it is fetched; no pack
    // of loose files need be.
    for (const update::RepairKey& key : contentList().keys)
      if (row.name != std::string("a missing archive") || key.key < 0x600) {
        EXPECT_TRUE(fetched.count(packName(key.pack))) << std::hex << key.key << "\n" << trace;
      }
  }
  EXPECT_FALSE(fileExists(update::kRepairPendingName));
  EXPECT_TRUE(gameStarted()) << trace;
  // The next start finds nothing to repair.
  const archive::QuickCheckResult check = archive::quickCheckIndexFile();
  EXPECT_TRUE(check.ok()) << (check.problems.empty() ? check.indexProblem
                                                     : archive::describeArchiveProblem(check.problems[0]));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RepairTable,
    ::testing::Values(
        Damage{"a flipped byte in one key", true, [](Repair&) { flip("GA0.VFS", 5000); },
               [](Repair& r) { return std::set<std::string>{r.packName(r.packOfKey(0x503))}; }, "key 0x00000503"},
        Damage{"a truncated archive", false,
               [](Repair&) { fs::resize_file("GA1.VFS", fs::file_size("GA1.VFS") - 3000); },
               [](Repair& r) { return std::set<std::string>{r.packName(r.packOfKey(0x645))}; }, "key 0x00000645"},
        Damage{"a missing archive", false, [](Repair&) { fs::remove("GA0.VFS"); }, nullptr, "GA0.VFS"},
        Damage{"a missing data.idx", false, [](Repair&) { fs::remove("data.idx"); }, nullptr,
               "the index cannot be read"},
        Damage{"a damaged data.idx", false, [](Repair&) { fs::resize_file("data.idx", 7); }, nullptr,
               "the index cannot be read"},
        Damage{"a deleted loose file", true, [](Repair&) { fs::remove("data/news.txt"); },
               [](Repair& r) { return std::set<std::string>{r.packName(r.packOfFile("data\\news.txt"))}; }, "news.txt"},
        Damage{"a changed loose file", true, [](Repair&) { writeWholeFile("readme.txt", "welcome!"); },
               [](Repair& r) { return std::set<std::string>{r.packName(r.packOfFile("readme.txt"))}; }, "readme.txt"},
        Damage{"an intact installation the player asks to repair", true, [](Repair&) {},
               [](Repair&) { return std::set<std::string>{}; }, "0 items damaged"}),
    [](const ::testing::TestParamInfo<Damage>& param) {
      std::string name;
      for (const char* c = param.param.name; *c; ++c)
        if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
      return name;
    });

TEST_F(Repair, ATamperedPackFailsTheRepairKeepsWhatWasRepairedAndTheNextRunFinishes) {
  // Two damaged keys in two packs; the second pack is tampered with.
  const std::uint32_t first = packOfKey(0x500), second = packOfKey(0x645);
  ASSERT_NE(first, second);
  flip("GA0.VFS", 10);
  flip("GA1.VFS", static_cast<std::size_t>(fs::file_size("GA1.VFS") - 10));
  const std::string secondPack = server.served(packName(second));
  const std::string good = readWholeFile(secondPack);
  for (const char* how : {"tampered", "another pack's"}) {
    SCOPED_TRACE(how);
    if (std::string(how) == "tampered") {
      flip(secondPack, good.size() / 2);
    } else {
      writeWholeFile(secondPack, readWholeFile(server.served(packName(first))));
    }
    update::setRepairAsked(true);
    std::string trace = runPass();
    EXPECT_EQ(trace.find("Repair: done"), std::string::npos) << trace;
    EXPECT_NE(trace.find("Error downloading : " + server.baseUrl() + "/" + packName(second)), std::string::npos)
        << trace;
    EXPECT_TRUE(recordedEffects().starts.empty()) << trace;
    EXPECT_TRUE(fileExists(update::kRepairPendingName));
    nextRun();
  }
  // The first pack's key stays repaired; the next run (nobody asks now: the
  // mark left by the cut repair does) fetches only the second pack.
  writeWholeFile(secondPack, good);
  update::setRepairAsked(false);
  const int firstRequests = server.requestsFor(packName(first));
  std::string trace = runPass();
  EXPECT_NE(trace.find("an earlier repair did not end"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Repair: done"), std::string::npos) << trace;
  EXPECT_EQ(server.requestsFor(packName(first)), firstRequests) << trace;
  EXPECT_EQ(differencesFromRelease(), "") << trace;
  EXPECT_FALSE(fileExists(update::kRepairPendingName));
}

// A repair set of an earlier release than the installation's: the repair
// gives the installation that release's version first, repairs it, and the
// patches above it follow in the same run.
TEST_F(Repair, ARepairSetBelowTheInstallationIsFollowedByThePatchesAboveIt) {
  // The operator's repair set is of release 10; patches 11 and 12 followed.
  fs::remove_all(release);
  ASSERT_NO_FATAL_FAILURE(writeRelease(release, 10));
  const std::string keyFile = releaseDir.path() + "/op.key";
  ASSERT_EQ(vlmpatch::runPublishRepairSet({server.patchDirectory(), release, "--key", keyFile, "--pack-size", "64K"}),
            vlmpatch::kExitOk);
  // The player had 10 and applied 11 and 12 (each stores its number's key).
  const std::string expected = releaseDir.path() + "/expected";
  fs::copy(release, expected, fs::copy_options::recursive);
  for (std::uint16_t n : {11, 12}) {
    const std::string package = releaseDir.path() + "/" + std::to_string(n) + ".dat";
    writeWholeFile(package, packageBytes(n, n, "data"));
    const fs::path here = fs::current_path();
    const int applied = vlmpatch::runApply({expected, package});
    fs::current_path(here);  // the tool works in the installation
    ASSERT_EQ(applied, vlmpatch::kExitOk);
  }
  for (const char* name : {"data.idx", "GA0.VFS", "GA1.VFS"})
    writeWholeFile(name, readWholeFile((fs::path(expected) / name).string()));
  flip("GA0.VFS", 5000);
  update::setRepairAsked(true);
  std::string trace = runPass();
  EXPECT_NE(trace.find("Repair: version 12 lowered to the repair set's 10"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Repair: done"), std::string::npos) << trace;
  EXPECT_EQ(server.requestsFor("11.rar"), 1) << trace;
  EXPECT_EQ(server.requestsFor("12.rar"), 1) << trace;
  release = expected;
  EXPECT_EQ(differencesFromRelease(), "") << trace;
  EXPECT_TRUE(gameStarted()) << trace;
}

TEST_F(Repair, WithoutARepairSetOrWithoutKeysTheLauncherDoesAsBefore) {
  const update::RepairRecord record = repairRecord();
  for (const char* how : {"no repair set", "no keys"}) {
    SCOPED_TRACE(how);
    if (std::string(how) == "no repair set") {
      fs::remove(server.served(update::kRepairRecordName));
    } else {
      platform::setTrustedKeysForTests("");
    }
    // The marker of a cut repair is read only by a launcher that can repair.
    writeWholeFile(update::kRepairPendingName, "1");
    flip("GA0.VFS", 5000);
    update::setRepairAsked(true);
    std::string trace = runPass();
    EXPECT_EQ(trace.find("Repair: done"), std::string::npos) << trace;
    // Nothing to repair from: the game starts with what is installed.
    EXPECT_TRUE(gameStarted()) << trace;
    for (const update::FileDigest& pack : record.packs)
      EXPECT_EQ(server.requestsFor(update::repairFileName(pack, ".rar")), 0) << trace;
    nextRun();
  }
}

}  // namespace
