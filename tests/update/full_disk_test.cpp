// The launcher's patch steps on a real full disk. tests/support/
// with_full_disk.sh mounts a small tmpfs of this process's own and starts
// this binary from it, so the launcher's directory (where the patch is
// downloaded, extracted and applied) lies on it; a filler file takes all
// but the room a case leaves. Each case: the step fails, the trace carries
// the system's reason, the installation stays valid at its old version,
// and once the filler is gone the next run brings it up to date.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "archive/index.h"
#include "archive/index_writer.h"
#include "core/paths.h"
#include "hook_recorder.h"
#include "patch_server.h"
#include "support/full_disk.h"
#include "support/launcher_state.h"
#include "support/temp_dir.h"
#include "tools/vlm_patch/install_check.h"
#include "update/patch_loop.h"
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

}  // namespace
