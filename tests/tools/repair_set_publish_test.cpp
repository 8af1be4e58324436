// publish-repair-set: the content list names every key and loose file of
// the release (and nothing of the launcher's own), the packs rebuild the
// release exactly, packs keep their names when their items do not change,
// the repair record is signed beside every later release, and refusals
// leave the server as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

#include "archive/patch_package.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/package_build.h"
#include "tools/vlm_patch/release_files.h"
#include "tools/vlm_patch/repair_set_build.h"
#include "update/rar_extract.h"
#include "update/release_check.h"
#include "update/release_record.h"
#include "update/repair_set.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

// A release of two archives and three loose files, with the launcher's own
// files beside them, as a studio hands it over.
ReleaseSpec sampleRelease(std::uint32_t version) {
  ReleaseSpec release;
  release.version = version;
  release.archives = {{"GAME0.VFS", {}, 0}, {"GAME1.VFS", {}, 0}};
  for (std::uint32_t k = 0; k < 60; ++k)
    release.archives[k % 2].files.push_back({0x1000 + k * 7, bytesOf(1000 + k * 900, static_cast<char>('a' + k % 26))});
  release.files = {{"data\\intro.txt", "the intro"},
                   {"data/maps/north.map", bytesOf(70000, 'n')},
                   {"readme.txt", ""},
                   {"Lumenfall.ini", "language=1"},
                   {"cver.v", std::string(8, '\0')}};
  return release;
}

void publishedServer(std::uint32_t latest) {
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  ASSERT_EQ(runTool("server init", {"server", "--latest", std::to_string(latest), "--key", "op.key"}), kExitOk);
}

update::RepairRecord repairRecord() {
  update::RepairRecord record;
  std::string why;
  EXPECT_TRUE(update::decodeRepairRecord(readWholeFile("server/repair.rec"), &record, &why)) << why;
  return record;
}

update::ReleaseRecord releaseRecord() {
  update::ReleaseRecord record;
  std::string why;
  EXPECT_TRUE(update::decodeReleaseRecord(readWholeFile("server/release.rec"), &record, &why)) << why;
  return record;
}

update::PublicKey publicKey() {
  SigningKey key;
  std::string error;
  EXPECT_TRUE(readSigningKey("op.key", &key, &error)) << error;
  return key.publicKey;
}

update::ContentList contentList(const update::RepairRecord& record) {
  update::ContentList list;
  std::string why;
  const std::string path = "server/" + update::repairFileName(record.contentList, ".lst");
  EXPECT_TRUE(update::fileMatchesDigest(path.c_str(), record.contentList, &why)) << why;
  EXPECT_TRUE(update::decodeContentList(readWholeFile(path), record.dataVersion,
                                        static_cast<std::uint32_t>(record.packs.size()), &list, &why))
      << why;
  return list;
}

std::set<std::string> packNames() {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator("server")) {
    std::string name = entry.path().filename().string();
    if (name.rfind("repair-", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".rar") names.insert(name);
  }
  return names;
}

std::set<std::string> namesOf(const update::RepairRecord& record) {
  std::set<std::string> names;
  for (const update::FileDigest& pack : record.packs) names.insert(update::repairFileName(pack, ".rar"));
  return names;
}

int publishRepairSet(const std::vector<std::string>& extra = {}) {
  Args args = {"server", "release", "--key", "op.key"};
  args.insert(args.end(), extra.begin(), extra.end());
  return runTool("publish-repair-set", args);
}

TEST(PublishRepairSet, ItsPacksRebuildTheReleaseAndItsListNamesEveryItem) {
  TempWorkDir dir;
  ASSERT_NO_FATAL_FAILURE(publishedServer(40));
  writeRelease("release", sampleRelease(40));
  ASSERT_EQ(publishRepairSet({"--pack-size", "65536"}), kExitOk);

  update::RepairRecord record = repairRecord();
  std::string why;
  EXPECT_TRUE(update::checkRepairRecord(record, {publicKey()}, releaseRecord(), &why)) << why;
  EXPECT_EQ(record.dataVersion, 40u);
  update::ContentList list = contentList(record);
  EXPECT_EQ(list.keys.size(), 60u);
  std::vector<std::string> names;
  for (const update::RepairFile& file : list.files) names.push_back(file.name);
  // The player's settings and the launcher's own files are not the release's.
  EXPECT_EQ(names, (std::vector<std::string>{"data\\intro.txt", "data\\maps\\north.map", "readme.txt"}));
  EXPECT_EQ(packNames(), namesOf(record));

  // Every pack, applied to an empty installation, and the version the record
  // gives: the release, key for key and file for file.
  fs::create_directory("rebuilt");
  ASSERT_EQ(runTool("index init", {"rebuilt"}), kExitOk);
  std::vector<std::uint32_t> itemsPerPack(record.packs.size());
  for (const update::RepairKey& key : list.keys) ++itemsPerPack[key.pack];
  for (const update::RepairFile& file : list.files) ++itemsPerPack[file.pack];
  for (std::size_t p = 0; p < record.packs.size(); ++p) {
    const std::string rar = "server/" + update::repairFileName(record.packs[p], ".rar");
    EXPECT_TRUE(update::fileMatchesDigest(rar.c_str(), record.packs[p], &why)) << why;
    ASSERT_TRUE(update::extractPatchArchive(rar.c_str(), update::kRepairPackageName)) << rar;
    archive::PatchPackage package;
    std::string error;
    ASSERT_TRUE(readPackageForShow(update::kRepairPackageName, &package, &error)) << error;
    EXPECT_EQ(package.version, update::kRepairPackageVersion);
    EXPECT_EQ(package.items.size(), itemsPerPack[p]) << rar;
    std::uint64_t bytes = 6;
    for (const archive::PatchItem& item : package.items) bytes += 8 + item.name.size() + item.dataLength;
    if (package.items.size() > 1) {
      EXPECT_LE(bytes, 65536u) << rar;
    }
    archive::closePatchPackage(package);
    ASSERT_EQ(runTool("apply", {"rebuilt", update::kRepairPackageName}), kExitOk);
  }
  ASSERT_EQ(runTool("index set-version", {"rebuilt", "40"}), kExitOk);
  fs::remove("release/Lumenfall.ini");
  fs::remove("release/cver.v");
  EXPECT_EQ(runTool("compare", {"release", "rebuilt"}), kExitOk);
}

TEST(PublishRepairSet, PacksWhoseItemsDidNotChangeKeepTheirNames) {
  TempWorkDir dir;
  ASSERT_NO_FATAL_FAILURE(publishedServer(41));
  writeRelease("release", sampleRelease(40));
  ASSERT_EQ(publishRepairSet({"--pack-size", "64K"}), kExitOk);
  const std::set<std::string> first = namesOf(repairRecord());
  ASSERT_GT(first.size(), 10u);

  // The same release again: nothing new.
  ASSERT_EQ(publishRepairSet({"--pack-size", "65536"}), kExitOk);
  EXPECT_EQ(namesOf(repairRecord()), first);

  // The next release changes one key's bytes (not its size), adds one key
  // and drops another: the packs far from those keep their names.
  ReleaseSpec next = sampleRelease(41);
  next.archives[0].files[5].second[10] ^= 1;
  next.archives[1].files.push_back({0x1000 + 3 * 7 + 1, bytesOf(3000, 'z')});
  next.archives[0].files.erase(next.archives[0].files.begin() + 20);
  fs::remove_all("release");
  writeRelease("release", next);
  ASSERT_EQ(publishRepairSet({"--pack-size", "65536"}), kExitOk);
  update::RepairRecord record = repairRecord();
  EXPECT_EQ(record.dataVersion, 41u);
  std::set<std::string> second = namesOf(record), fresh;
  for (const std::string& name : second)
    if (!first.count(name)) fresh.insert(name);
  EXPECT_GE(fresh.size(), 1u);
  EXPECT_LE(fresh.size(), 6u) << fresh.size() << " of " << second.size() << " packs changed";
  // Old packs stay for mirrors and launchers in the middle of a repair.
  for (const std::string& name : first) EXPECT_TRUE(fs::exists("server/" + name)) << name;
}

TEST(PublishRepairSet, EveryLaterSigningSignsTheRepairRecordBesideTheRelease) {
  TempWorkDir dir;
  ASSERT_NO_FATAL_FAILURE(publishedServer(40));
  writeRelease("release", sampleRelease(40));
  ASSERT_EQ(publishRepairSet(), kExitOk);
  writeStoreManifest("next.txt", {{0x9999, "after the repair set"}});
  ASSERT_EQ(runTool("publish", {"server", "next.txt", "--key", "op.key"}), kExitOk);
  update::RepairRecord record = repairRecord();
  update::ReleaseRecord release = releaseRecord();
  EXPECT_EQ(release.latestPatch, 41u);
  std::string why;
  EXPECT_TRUE(update::checkRepairRecord(record, {publicKey()}, release, &why)) << why;
  EXPECT_EQ(record.dataVersion, 40u);
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key"}), kExitOk);
  EXPECT_TRUE(update::checkRepairRecord(repairRecord(), {publicKey()}, releaseRecord(), &why)) << why;
}

TEST(PublishRepairSet, RefusalsLeaveTheServerAsItWas) {
  TempWorkDir dir;
  ASSERT_NO_FATAL_FAILURE(publishedServer(40));
  writeRelease("release", sampleRelease(41));
  writeRelease("release40", sampleRelease(40));
  struct Case {
    const char* name;
    Args args;
    int code;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"a release above the latest patch",
       {"server", "release", "--key", "op.key"},
       kExitFailed,
       "above the server's latest patch 40"},
      {"no key", {"server", "release40"}, kExitUsage, "usage"},
      {"a pack size too small",
       {"server", "release40", "--key", "op.key", "--pack-size", "100"},
       kExitUsage,
       "--pack-size"},
      {"a pack size too large",
       {"server", "release40", "--key", "op.key", "--pack-size", "2G"},
       kExitUsage,
       "--pack-size"},
      {"a pack size that is no size",
       {"server", "release40", "--key", "op.key", "--pack-size", "16MB"},
       kExitUsage,
       "--pack-size"},
      {"no release", {"server", "missing", "--key", "op.key"}, kExitFailed, "cannot be read as a release"},
  };
  const auto before = directorySnapshot("server");
  for (const Case& c : cases) {
    int code = -1;
    std::string printed = stderrOf([&] { code = runTool("publish-repair-set", c.args); });
    EXPECT_EQ(code, c.code) << c.name;
    EXPECT_NE(printed.find(c.message), std::string::npos) << c.name << ": " << printed;
    EXPECT_EQ(snapshotDifference(before, directorySnapshot("server")), "") << c.name;
  }
}

void flipByte(const std::string& path, std::size_t at) {
  std::string bytes = readWholeFile(path);
  ASSERT_LT(at, bytes.size()) << path;
  bytes[at] ^= 0x20;
  writeWholeFile(path, bytes);
}

TEST(PublishRepairSet, ServerCheckFindsEveryTamperingOfTheRepairSet) {
  TempWorkDir dir;
  ASSERT_NO_FATAL_FAILURE(publishedServer(40));
  writeRelease("release", sampleRelease(40));
  ASSERT_EQ(publishRepairSet({"--pack-size", "65536"}), kExitOk);
  const std::string oldRecord = readWholeFile("server/repair.rec");
  writeStoreManifest("next.txt", {{0x9999, "after the repair set"}});
  ASSERT_EQ(runTool("publish", {"server", "next.txt", "--key", "op.key"}), kExitOk);
  const update::RepairRecord record = repairRecord();
  const std::string pack3 = "server/" + update::repairFileName(record.packs[3], ".rar");
  const std::string pack4 = "server/" + update::repairFileName(record.packs[4], ".rar");
  const std::string list = "server/" + update::repairFileName(record.contentList, ".lst");
  {
    std::string printed;
    int code = -1;
    ::testing::internal::CaptureStdout();
    code = runTool("server check", {"server", "--public-key", "op.key"});
    printed = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(code, kExitOk) << printed;
    EXPECT_NE(printed.find("repair set: version 40"), std::string::npos) << printed;
  }
  fs::copy("server", "intact", fs::copy_options::recursive);

  struct Case {
    const char* name;
    std::function<void()> tamper;
    const char* problem;
  };
  const std::vector<Case> cases = {
      {"a pack's byte flipped", [&] { flipByte(pack3, 200); }, "(pack 3)"},
      {"a pack missing", [&] { fs::remove(pack3); }, "(pack 3)"},
      {"one pack served for another", [&] { writeWholeFile(pack3, readWholeFile(pack4)); }, "(pack 3)"},
      {"the content list changed", [&] { flipByte(list, 30); }, ".lst"},
      {"the repair record cut", [&] { writeWholeFile("server/repair.rec", oldRecord.substr(0, 80)); }, "repair.rec"},
      {"the repair record of the release before", [&] { writeWholeFile("server/repair.rec", oldRecord); },
       "signed for another release"},
      {"a signed record naming another pack's file",
       [&] {
         update::RepairRecord changed = record;
         std::swap(changed.packs[3], changed.packs[4]);
         writeWholeFile("server/repair.rec", update::encodeRepairRecord(changed));
         // Any signing signs the server's repair record again: an operator
         // who signs a record someone changed.
         ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key"}), kExitOk);
       },
       "is not key"},
  };
  for (const Case& c : cases) {
    fs::remove_all("server");
    fs::copy("intact", "server", fs::copy_options::recursive);
    c.tamper();
    ::testing::internal::CaptureStdout();
    int code = runTool("server check", {"server", "--public-key", "op.key"});
    std::string printed = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(code, kExitFailed) << c.name << "\n" << printed;
    EXPECT_NE(printed.find(c.problem), std::string::npos) << c.name << "\n" << printed;
  }
}

}  // namespace
}  // namespace vlmpatch
