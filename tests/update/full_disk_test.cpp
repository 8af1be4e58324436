// The launcher's patch steps on a real full disk. tests/support/
// with_full_disk.sh mounts a small tmpfs of this process's own and starts
// this binary from it, so the launcher's directory (where the patch is
// downloaded, extracted and applied) lies on it; a filler file takes all
// but the room a case leaves. Each case: the step fails, the trace carries
// the system's reason, the installation stays valid at its old version,
// and once the filler is gone the next run brings it up to date.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "archive/quick_check.h"
#include "core/byte_size.h"
#include "core/paths.h"
#include "hook_recorder.h"
#include "patch_server.h"
#include "platform/clock.h"
#include "platform/test_hooks.h"
#include "release_signer.h"
#include "support/full_disk.h"
#include "support/launcher_state.h"
#include "support/temp_dir.h"
#include "tools/vlm_patch/install_check.h"
#include "update/game_start.h"
#include "update/patch_loop.h"
#include "update/release_record.h"
#include "update/release_verify.h"
#include "update/update_driver.h"
#include "update/versions.h"

namespace fs = std::filesystem;

namespace {

const std::string kFailDownload = "Failed to download the update..";
const std::string kFailExtract = "Failed to extract the update..";
constexpr std::uint32_t kKey = 0x1234;

class LauncherOnAFullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir, whyNot;
    if (!smallFileSystem(&dir, &whyNot)) GTEST_SKIP() << whyNot;
    directory_ = core::exeDirectory();
    ASSERT_EQ(fs::canonical(directory_), fs::canonical(dir)) << "the launcher's directory is the small file system";
    previous_ = fs::current_path();
    fs::current_path(directory_);
    entered_ = true;
    resetLauncherState();
    installRecorders();
    ASSERT_TRUE(server.start()) << server.nginx().why();
  }

  void TearDown() override {
    if (!entered_) return;
    removeRecorders();
    resetLauncherState();
    fs::current_path(previous_);
  }

  // An installation at version 10: data.idx and one empty archive.
  void install() {
    writeWholeFile("GA0.VFS", "");
    ASSERT_TRUE(archive::writeIndexFile("data.idx", 10, {{"GA0.VFS", {}}}));
  }

  // One run of the launcher's patch loop from patch 11, as the update does
  // after it loaded the index and read the patch list; its trace.
  bool runPatches(std::string* trace) {
    archive::closeArchiveSet(archive::archiveSet);
    archive::indexLoaded = false;
    archive::loadIndex();
    EXPECT_TRUE(archive::indexLoaded);
    update::launcherVersions.latestPatch = 11;
    ::testing::internal::CaptureStdout();
    bool done = update::runPatchLoop(11);
    *trace = ::testing::internal::GetCapturedStdout();
    archive::closeArchiveSet(archive::archiveSet);
    archive::indexLoaded = false;
    return done;
  }

  // The installation as vlm-patch checks it: sound, at this version, and
  // holding the patch's file or not.
  void expectInstallation(std::uint32_t version, bool patched) {
    archive::ArchiveSet set;
    std::string error;
    ASSERT_TRUE(vlmpatch::readInstallIndex(&set, &error)) << error;
    vlmpatch::CheckReport report = vlmpatch::checkInstallation(set);
    for (const std::string& problem : report.problems) ADD_FAILURE() << problem;
    EXPECT_EQ(set.baseVersion, version);
    archive::EntryLocation found;
    EXPECT_EQ(archive::keyMapFind(set.keyIndex, kKey, &found), patched);
    EXPECT_FALSE(fileExists("11.rar")) << "no download is left behind";
    EXPECT_FALSE(fileExists("11.rar.part"));
    EXPECT_FALSE(fileExists("11.dat")) << "no package is left behind";
  }

  // The next run, with the filler gone, completes the patch.
  void expectNextRunCompletes(const std::string& filler) {
    fs::remove(filler);
    std::string trace;
    EXPECT_TRUE(runPatches(&trace)) << trace;
    expectInstallation(11, true);
  }

  // The two figures of a trace line "... <needed> bytes needed, <free> free";
  // false when the trace has no such line after `after`.
  static bool spaceFigures(const std::string& trace, const std::string& after, std::uint64_t* needed,
                           std::uint64_t* available) {
    std::size_t at = trace.find(after);
    if (at == std::string::npos) return false;
    unsigned long long n = 0, f = 0;
    if (std::sscanf(trace.c_str() + at + after.size(), "%llu bytes needed, %llu free", &n, &f) != 2) return false;
    *needed = n;
    *available = f;
    return true;
  }

  // The one box of the run: the FAIL_SPACE text with the room the trace's
  // figures leave missing.
  static void expectSpaceBox(std::uint64_t needed, std::uint64_t available) {
    ASSERT_GT(needed, available);
    RecordedEffects effects = recordedEffects();
    ASSERT_EQ(effects.boxes.size(), 1u);
    EXPECT_EQ(effects.boxes[0].first,
              "Not enough free disk space: " + core::formatByteSize(needed - available) + " more needed.");
    EXPECT_EQ(effects.boxes[0].second, "");
  }

  std::string directory_;
  fs::path previous_;
  bool entered_ = false;
  PatchServer server;
};

// The patch's data: more than the room a case leaves.
const std::string kPatchData(200 * 1024, 'p');

TEST_F(LauncherOnAFullDisk, ADownloadThatDoesNotFitSaysWhy) {
  install();
  server.publishPatch(11, 11, kKey, kPatchData);
  fillLeaving(".", "filler", 100 * 1024);
  std::string trace;
  EXPECT_FALSE(runPatches(&trace));
  EXPECT_NE(trace.find("The download failed: the local file could not be written: No space left on device."),
            std::string::npos)
      << trace;
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u);
  EXPECT_EQ(effects.boxes[0].first, kFailDownload) << "the player's box stays as it is";
  expectInstallation(10, false);
  expectNextRunCompletes("filler");
}

TEST_F(LauncherOnAFullDisk, AnExtractionThatDoesNotFitSaysWhy) {
  install();
  server.publishPatch(11, 11, kKey, kPatchData);
  // Room for the download, not for the package beside it.
  fillLeaving(".", "filler", 300 * 1024);
  std::string trace;
  EXPECT_FALSE(runPatches(&trace));
  EXPECT_NE(trace.find("11.dat could not be extracted: write error (RAR error 19): No space left on device."),
            std::string::npos)
      << trace;
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u);
  EXPECT_EQ(effects.boxes[0].first, kFailExtract) << "the player's box stays as it is";
  expectInstallation(10, false);
  expectNextRunCompletes("filler");
}

// A stored patch needs as much room to be extracted as to be applied, so on
// one file system the extraction always fails first. Here the archive lies
// on a file system of its own (a second tmpfs, its file bound over
// GA0.VFS), full, while the download and the package have room.
TEST_F(LauncherOnAFullDisk, AnApplicationThatDoesNotFitSaysWhy) {
  install();
  fs::create_directories("archives");
  ASSERT_EQ(::mount("tmpfs", "archives", "tmpfs", 0, "size=1m"), 0) << std::strerror(errno);
  writeWholeFile("archives/GA0.VFS", "");
  ASSERT_EQ(::mount("archives/GA0.VFS", "GA0.VFS", nullptr, MS_BIND, nullptr), 0) << std::strerror(errno);
  server.publishPatch(11, 11, kKey, kPatchData);
  fillLeaving("archives", "filler", 100 * 1024);
  std::string trace;
  runPatches(&trace);
  EXPECT_NE(trace.find("The patch package "), std::string::npos) << trace;
  EXPECT_NE(trace.find(" was not applied: item 0: could not be stored in the archives: GA0.VFS cannot be written: "
                       "No space left on device"),
            std::string::npos)
      << trace;
  EXPECT_TRUE(recordedEffects().boxes.empty()) << "the launcher shows no box for a failed application, as before";
  expectInstallation(10, false);
  expectNextRunCompletes("archives/filler");
  ::umount("GA0.VFS");
  ::umount("archives");
}

// A launcher with the operator's key knows the patch's size from the signed
// release: with too little room for it, its package and the index rewrite,
// the patch is not fetched at all. A whole update pass, as the worker runs it.
class SignedLauncherOnAFullDisk : public LauncherOnAFullDisk {
 protected:
  void SetUp() override {
    LauncherOnAFullDisk::SetUp();
    if (!entered_) return;
    update::gameStartDelayMs = 20;
    platform::setTrustedKeysForTests(update::toHex(key_.publicKey.data(), key_.publicKey.size()));
  }
  void TearDown() override {
    if (entered_) platform::sleepMs(4 * update::gameStartDelayMs.load());
    platform::setTrustedKeysForTests("");
    LauncherOnAFullDisk::TearDown();
  }

  // One pass of the update worker; its trace.
  std::string runPass() {
    archive::closeArchiveSet(archive::archiveSet);
    archive::indexLoaded = false;
    update::resetAcceptedRelease();
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(runOnWorkerThread(update::UpdateWorker));
    std::string trace = ::testing::internal::GetCapturedStdout();
    archive::closeArchiveSet(archive::archiveSet);
    archive::indexLoaded = false;
    return trace;
  }

  vlmpatch::SigningKey key_ = freshSigningKey();
};

TEST_F(SignedLauncherOnAFullDisk, APatchWithoutRoomIsNotDownloaded) {
  install();
  server.publishPatchList(11, 0, 0);
  // The release signs every patch up to the latest; this installation has
  // the first ten already.
  for (std::uint32_t n = 1; n <= 10; ++n) server.publishPatch(n, static_cast<std::uint16_t>(n), n, "data");
  server.publishPatch(11, 11, kKey, kPatchData);
  std::string error;
  ASSERT_TRUE(signServer(server.patchDirectory(), {key_}, 0, &error)) << error;
  // Room for the download alone, not for the package beside it.
  fillLeaving(".", "filler", 300 * 1024);
  std::string trace = runPass();
  EXPECT_TRUE(update::startCheck().ok()) << "the start's check found the installation sound";
  EXPECT_NE(trace.find("Installation check: 1 archive, 0 entries, every archive whole."), std::string::npos) << trace;
  std::uint64_t needed = 0, available = 0;
  ASSERT_TRUE(spaceFigures(trace, "Not enough free disk space to download 11.rar: ", &needed, &available)) << trace;
  EXPECT_GE(needed, 2 * fs::file_size(server.served("11.rar")));
  expectSpaceBox(needed, available);
  EXPECT_EQ(server.requestsFor("11.rar"), 0) << "nothing of the patch was fetched";
  EXPECT_TRUE(recordedEffects().starts.empty()) << "the game is not started after a failed patch loop";
  expectInstallation(10, false);

  fs::remove("filler");
  installRecorders();
  trace = runPass();
  EXPECT_TRUE(recordedEffects().boxes.empty()) << trace;
  expectInstallation(11, true);
}

// Without a key the patch's size is known only once it is there: the room
// is measured when the package has been extracted and loaded. An index of
// 20,000 entries makes the package's application (its data and the index
// rewrite beside the present index) need more than its extraction did.
TEST_F(LauncherOnAFullDisk, APackageWithoutRoomIsNotApplied) {
  writeWholeFile("GA0.VFS", "");
  std::vector<archive::FileEntry> entries;
  for (std::uint32_t n = 0; n < 20000; ++n) entries.push_back({0x10000 + n, 0, 0});
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 10, {{"GA0.VFS", entries}}));
  const std::string data(64 * 1024, 'q');
  server.publishPatch(11, 11, kKey, data);
  // Room for the download and the package (about 2 x 64 KiB), not for the
  // package's data and a second index of 240 KB besides.
  fillLeaving(".", "filler", 200 * 1024);
  std::string trace;
  EXPECT_FALSE(runPatches(&trace));
  EXPECT_NE(trace.find("11.rar Extracted successfully."), std::string::npos) << trace;
  std::uint64_t needed = 0, available = 0;
  ASSERT_TRUE(spaceFigures(trace, " was not applied: not enough free disk space: ", &needed, &available)) << trace;
  EXPECT_GE(needed, data.size() + archive::indexFileSize(archive::ArchiveSet{}) + 20000 * 12);
  expectSpaceBox(needed, available);
  expectInstallation(10, false);
  EXPECT_TRUE(archive::quickCheckIndexFile().ok());
  expectNextRunCompletes("filler");
}

// Fills the disk at the first write into GA0.VFS past its start (the second
// item of the package), so that the write meets a real full disk.
bool filledAtSecondItem = false;
bool fillAtSecondItem(platform::FileHandle file, std::uint64_t offset, std::size_t) {
  if (filledAtSecondItem || offset == 0) return false;
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", static_cast<int>(file));
  ssize_t length = ::readlink(link, target, sizeof target - 1);
  if (length <= 0) return false;
  std::string path(target, static_cast<std::size_t>(length));
  if (path.size() < 8 || path.compare(path.size() - 8, 8, "/GA0.VFS") != 0) return false;
  filledAtSecondItem = true;
  fillLeaving(".", "filler", 4096);
  return false;  // the real write goes on, onto the full disk
}

// The room was there when the package began, and something else took it
// half-way: the package fails at its item, the index keeps the version
// before it, and the next run, with room again, applies it whole.
TEST_F(LauncherOnAFullDisk, ADiskThatFillsHalfWayFailsThePackageCleanly) {
  install();
  archive::PatchPackageSpec spec;
  spec.seed = 5;
  spec.version = 11;
  spec.type = 1;
  spec.items.push_back({kKey, "", std::string(100 * 1024, 'a')});
  spec.items.push_back({kKey + 1, "", std::string(100 * 1024, 'b')});
  server.publishRar(11, {{"11.dat", archive::encodePatchPackage(spec), false}});
  static const platform::FileSystemHooks hooks = {fillAtSecondItem, nullptr, nullptr};
  filledAtSecondItem = false;
  platform::setFileSystemHooks(&hooks);
  std::string trace;
  EXPECT_FALSE(runPatches(&trace));
  platform::setFileSystemHooks(nullptr);
  EXPECT_TRUE(filledAtSecondItem) << "the disk was filled half-way";
  EXPECT_NE(trace.find(" was not applied: item 1: could not be stored in the archives: GA0.VFS cannot be written: "
                       "No space left on device"),
            std::string::npos)
      << trace;
  EXPECT_TRUE(recordedEffects().boxes.empty()) << "a failed application shows no box, as before";
  expectInstallation(10, false);
  EXPECT_TRUE(archive::quickCheckIndexFile().ok()) << "the archive only grew";
  expectNextRunCompletes("filler");
  archive::ArchiveSet set;
  ASSERT_TRUE(archive::readIndexFile("data.idx", set).ok());
  archive::EntryLocation found;
  EXPECT_TRUE(archive::keyMapFind(set.keyIndex, kKey + 1, &found)) << "both items are there";
}

}  // namespace
