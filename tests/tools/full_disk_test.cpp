// vlm-patch apply and compact on a real full disk: the installation lies on
// a small tmpfs of this process's own (tests/support/with_full_disk.sh),
// the packages beside it on the ordinary disk; a filler file takes all but
// the room a case leaves. The tool names the system's reason, the
// installation stays sound and unchanged, and once the filler is gone the
// same command completes it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "archive/index.h"
#include "support/full_disk.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/install_check.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

class ToolOnAFullDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string whyNot;
    if (!smallFileSystem(&small_, &whyNot)) GTEST_SKIP() << whyNot;
    install_ = (fs::path(small_) / "install").string();
    fs::remove_all(install_);
    fs::remove(fs::path(small_) / "filler");
  }

  // Runs the command with its standard error captured.
  int run(const std::string& command, const Args& args, std::string* errors) {
    ::testing::internal::CaptureStderr();
    int code = runTool(command, args);
    *errors = ::testing::internal::GetCapturedStderr();
    return code;
  }

  // Sound, at this version, holding these files.
  void expectInstallation(std::uint32_t version, const std::map<std::uint32_t, std::string>& contents) {
    EXPECT_EQ(runTool("index check", {install_}), kExitOk);
    EXPECT_EQ(installationContents(install_), contents);
    fs::path here = fs::current_path();
    fs::current_path(install_);
    archive::ArchiveSet set;
    std::string error;
    EXPECT_TRUE(readInstallIndex(&set, &error)) << error;
    EXPECT_EQ(set.baseVersion, version);
    fs::current_path(here);
  }

  TempWorkDir work;  // the packages, on the ordinary disk
  std::string small_;
  std::string install_;
};

struct ApplyCase {
  const char* label;
  std::uint64_t leave;  // room left on the installation's file system
  const char* message;  // what the tool says, the system's reason at its end
};
void PrintTo(const ApplyCase& c, std::ostream* os) { *os << c.label; }

class ApplyOnAFullDisk : public ToolOnAFullDisk, public ::testing::WithParamInterface<ApplyCase> {};

TEST_P(ApplyOnAFullDisk, SaysWhyAndKeepsTheInstallation) {
  const std::map<std::uint32_t, std::string> files = {{7, std::string(200 * 1024, 'a')}};
  ASSERT_EQ(runTool("index init", {install_}), kExitOk);
  writeStoreManifest("m.txt", files);
  ASSERT_EQ(runTool("package build", {"m.txt", "-o", "p.dat", "--version", "1"}), kExitOk);
  fillLeaving(small_, "filler", GetParam().leave);

  std::string errors;
  EXPECT_EQ(run("apply", {install_, "p.dat"}, &errors), kExitFailed);
  EXPECT_NE(errors.find(GetParam().message), std::string::npos) << errors;
  EXPECT_NE(errors.find("No space left on device"), std::string::npos) << errors;
  expectInstallation(0, {});
  EXPECT_FALSE(fileExists(install_ + "/vlm-patch-apply.dat")) << "the working copy is gone";

  fs::remove(fs::path(small_) / "filler");
  EXPECT_EQ(run("apply", {install_, "p.dat"}, &errors), kExitOk) << errors;
  expectInstallation(1, files);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ApplyOnAFullDisk,
    ::testing::Values(
        // No room for the working copy of the package.
        ApplyCase{"WorkingCopy", 100 * 1024,
                  "into the installation: vlm-patch-apply.dat cannot be written: No space left on device"},
        // Room for the working copy, not for the data in the archive.
        ApplyCase{"Archive", 300 * 1024,
                  "could not be applied; the installation keeps the last whole package (item 0: could not be stored "
                  "in the archives: GAME0.VFS cannot be written: No space left on device)"}),
    [](const ::testing::TestParamInfo<ApplyCase>& p) { return p.param.label; });

TEST_F(ToolOnAFullDisk, CompactSaysWhyAndKeepsTheInstallation) {
  ReleaseSpec release;
  release.version = 3;
  release.archives = {{"GAME0.VFS", {{1, std::string(100 * 1024, 'x')}, {2, std::string(100 * 1024, 'y')}}, 50 * 1024}};
  writeRelease(install_, release);
  const std::map<std::uint32_t, std::string> contents = installationContents(install_);
  ASSERT_EQ(contents.size(), 2u);
  fillLeaving(small_, "filler", 100 * 1024);

  std::string errors;
  EXPECT_EQ(run("compact", {install_}, &errors), kExitFailed);
  EXPECT_NE(errors.find("cannot copy GAME0.VFS into GAME0~1.VFS: GAME0~1.VFS cannot be written: No space left on "
                        "device"),
            std::string::npos)
      << errors;
  expectInstallation(3, contents);
  EXPECT_FALSE(fileExists(install_ + "/GAME0~1.VFS")) << "the half copy is gone";

  fs::remove(fs::path(small_) / "filler");
  EXPECT_EQ(run("compact", {install_}, &errors), kExitOk) << errors;
  expectInstallation(3, contents);
  EXPECT_TRUE(fileExists(install_ + "/GAME0~1.VFS"));
}

}  // namespace
}  // namespace vlmpatch
