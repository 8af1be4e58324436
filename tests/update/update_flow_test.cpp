// The whole update flow against a real nginx: the driver, the executables'
// updates, the patch loop with real patch packages in stored RAR archives,
// the failure paths and the game start.
#include "archive/byte_order.h"
#include "update/update_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>
extern char** environ;
#endif

#include "archive/index_writer.h"
#include "flow_fixture.h"
#include "patch_server.h"
#include "platform/crypto.h"
#include "platform/executable.h"
#include "platform/file.h"
#include "update/launcher_replace.h"
#include "update/leftovers.h"
#include "update/patch_loop.h"
#include "update/release_check.h"

std::string LauncherDirectoryTest::executableName() { return platform::executablePath(); }

namespace {

const std::string kFailDownload = "Failed to download the update..";
const std::string kFailExtract = "Failed to extract the update..";

std::string versionBytes(std::uint32_t launcher, std::uint32_t client) {
  unsigned char bytes[8];
  archive::setU32(bytes, launcher);
  archive::setU32(bytes + 4, client);
  return std::string(reinterpret_cast<char*>(bytes), 8);
}

// The update program's command line for a new launcher of these bytes.
std::string updateProgramLine(const std::string& launcher) {
  update::FileDigest digest;
  digest.size = launcher.size();
  platform::sha256Of(launcher.data(), launcher.size(), digest.sha256.data());
  return update::updateProgramCommandLine(digest);
}

// This launcher's client beside it.
const std::string kClient = thisFiles().client;

class UpdateFlow : public LauncherDirectoryTest {
 protected:
  void SetUp() override {
    LauncherDirectoryTest::SetUp();
    ASSERT_TRUE(server.start()) << server.nginx().why();
  }

  // An installation at data version `version` with one empty archive.
  void install(std::uint32_t version) {
    writeWholeFile("GA0.VFS", "");
    ASSERT_TRUE(archive::writeIndexFile("data.idx", version, {{"GA0.VFS", {}}}));
  }

  std::uint32_t indexVersion() {
    std::string bytes = readWholeFile("data.idx");
    if (bytes.size() < 4) return 0xFFFFFFFFu;
    return archive::getU32(reinterpret_cast<const unsigned char*>(bytes.data()));
  }

  // Runs the worker as the entry does and waits until it is over.
  void runWorker() { ASSERT_TRUE(runOnWorkerThread(update::UpdateWorker)); }

  // Whether the client was started (the game start takes 20 ms here).
  bool gameStarted() {
    if (!waitForStarts(1, 3000) || !waitForExit(3000)) return false;
    RecordedEffects effects = recordedEffects();
    return std::count(effects.starts.begin(), effects.starts.end(), update::gameClientCommandLine()) == 1;
  }
  bool gameNotStarted() {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return recordedEffects().starts.empty();
  }

  // The patch list answers 500 while a file "fail500" lies beside it.
  static NginxOptions serverOptions() {
    NginxOptions options;
    options.extraServerConfig =
        "location = /vlm/patch/patch.hpl { if (-f $document_root/vlm/patch/fail500) { return 500; } }";
    return options;
  }
  PatchServer server{serverOptions()};
};

TEST_F(UpdateFlow, WithoutAnIndexNothingHappensButTheBarsFill) {
  server.publishPatchList(5, 0, 0);
  runWorker();
  EXPECT_EQ(server.requestCount("/vlm/patch/patch.hpl"), 0) << "no download at all";
  EXPECT_TRUE(recordedEffects().boxes.empty());
  EXPECT_TRUE(gameNotStarted());
  EXPECT_EQ(core::displayState.fileProgress, 1u);
  EXPECT_EQ(core::displayState.fileProgressMax, 1u);
  EXPECT_EQ(core::displayState.totalProgress, 1u);
  EXPECT_EQ(core::displayState.totalProgressMax, 1u);
}

TEST_F(UpdateFlow, FirstRunWithoutVersionFileCreatesItWithZeros) {
  install(10);
  server.publishPatchList(10, 0, 0);
  runWorker();
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(0, 0));
  EXPECT_TRUE(gameStarted());
  EXPECT_FALSE(fileExists("patch.hpl"));
}

TEST_F(UpdateFlow, FirstRunWithAPublishedLauncherIsASelfUpdate) {
  install(10);
  const std::string launcher = programBytes("new launcher bytes");
  server.publishPatchList(12, 1, 1);
  server.publishLauncher(launcher);
  server.publishClient(programBytes("new client"));
  runWorker();
  RecordedEffects effects = recordedEffects();
  EXPECT_EQ(readWholeFile("launcher.bin"), launcher);
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(1, 0));
  // What the launcher hashed goes to the update program, which checks it.
  EXPECT_EQ(effects.starts, std::vector<std::string>{updateProgramLine(launcher)});
  EXPECT_EQ(effects.exitsNormally, std::vector<int>{0});
  EXPECT_TRUE(effects.boxes.empty());
  EXPECT_EQ(server.requestsFor(thisFiles().launcher), 1);
  EXPECT_EQ(server.requestsFor(otherFiles().launcher), 0);
  EXPECT_EQ(server.requestsFor(kClient), 0) << "the client waits for a later run";
  EXPECT_EQ(server.requestCount("/vlm/patch/12.rar"), 0) << "and so do the patches";
  EXPECT_FALSE(fileExists("patch.hpl"));
}

TEST_F(UpdateFlow, LauncherAndClientOutdatedFetchesOnlyTheLauncher) {
  install(10);
  writeWholeFile("cver.v", versionBytes(1, 1));
  server.publishPatchList(10, 2, 2);
  server.publishLauncher(programBytes("launcher v2"));
  server.publishClient(programBytes("client v2"));
  runWorker();
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(2, 1));
  EXPECT_EQ(server.requestsFor(kClient), 0);
  EXPECT_EQ(recordedEffects().starts, std::vector<std::string>{updateProgramLine(programBytes("launcher v2"))});
}

TEST_F(UpdateFlow, ClientUpdateThenPatches) {
  install(10);
  writeWholeFile("cver.v", versionBytes(2, 1));
  writeWholeFile(kClient, programBytes("client v1"));
  server.publishPatchList(12, 2, 3);
  server.publishClient(programBytes("client v3"));
  server.publishPatch(11, 11, 0x1111, "eleven");
  server.publishPatch(12, 12, 0x1212, "twelve");
  runWorker();
  EXPECT_EQ(readWholeFile(kClient), programBytes("client v3"));
  EXPECT_FALSE(fileExists("Kelda.bin"));
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(2, 3));
  EXPECT_EQ(indexVersion(), 12u);
  EXPECT_TRUE(gameStarted());
  EXPECT_TRUE(recordedEffects().boxes.empty());
  for (const char* leftover : {"11.rar", "12.rar", "11.dat", "12.dat", "patch.hpl"}) {
    EXPECT_FALSE(fileExists(leftover)) << leftover;
  }
}

// An installation without a client (a fresh one, or one whose client was
// removed) gets one it can start: a download is stored without execute
// bits on Linux, and there is no old client whose mode it could take.
TEST_F(UpdateFlow, AClientFetchedWhereThereWasNoneCanBeStarted) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  server.publishPatchList(10, 0, 1);
  server.publishClient(programBytes("client v1"));
  runWorker();
  EXPECT_EQ(readWholeFile(kClient), programBytes("client v1"));
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(0, 1));
#if !defined(_WIN32)
  struct stat st {};
  ASSERT_EQ(::stat(kClient.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
#endif
  EXPECT_TRUE(gameStarted());
}

struct NoPatchCase {
  const char* label;
  std::uint32_t installed;
  std::uint32_t latest;
};

class NoPatchDue : public UpdateFlow, public ::testing::WithParamInterface<NoPatchCase> {};

TEST_P(NoPatchDue, StartsTheGameWithoutFetchingAPatch) {
  install(GetParam().installed);
  writeWholeFile("cver.v", versionBytes(0, 0));
  server.publishPatchList(GetParam().latest, 0, 0);
  server.publishPatch(GetParam().installed + 1, 1, 1, "never");
  runWorker();
  EXPECT_TRUE(gameStarted());
  EXPECT_EQ(server.requestCount("/vlm/patch/" + std::to_string(GetParam().installed + 1) + ".rar"), 0);
  EXPECT_EQ(indexVersion(), GetParam().installed);
}

INSTANTIATE_TEST_SUITE_P(Table, NoPatchDue,
                         ::testing::Values(NoPatchCase{"LatestEqualsInstalled", 10, 10},
                                           NoPatchCase{"LatestBelowInstalled", 10, 9},
                                           // 65535 + 1 cut to 16 bits is 0: no patch loop.
                                           NoPatchCase{"Installed65535", 65535, 70000}),
                         [](const ::testing::TestParamInfo<NoPatchCase>& p) { return p.param.label; });

TEST_F(UpdateFlow, AnEmptyPatchListUpdatesNothing) {
  install(10);
  server.publishFile("patch.hpl", "");
  server.publishLauncher(programBytes("x"));
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("The patch list is short: 0 of 12 bytes"), std::string::npos)
      << "an empty list must not pass for \"up to date\" in silence: " << trace;
  EXPECT_TRUE(gameStarted());
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(0, 0));
  EXPECT_EQ(server.requestsFor(thisFiles().launcher), 0);
  EXPECT_TRUE(recordedEffects().boxes.empty());
}

TEST_F(UpdateFlow, ThreePatchesMoveTheLowerBarTo33_66_100) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  server.publishPatchList(13, 0, 0);
  for (std::uint32_t n = 11; n <= 13; ++n) server.publishPatch(n, static_cast<std::uint16_t>(n), n, "data");
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(gameStarted());
  EXPECT_EQ(indexVersion(), 13u);
  std::size_t a = trace.find("Patch progress : 33 ");
  std::size_t b = trace.find("Patch progress : 66 ");
  std::size_t c = trace.find("Patch progress : 100 ");
  ASSERT_NE(a, std::string::npos) << trace;
  ASSERT_NE(b, std::string::npos) << trace;
  ASSERT_NE(c, std::string::npos) << trace;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_LT(trace.find("11.rar Extracted successfully."), trace.find("12.rar Extracted successfully."));
  for (std::uint32_t n = 11; n <= 13; ++n) {
    EXPECT_EQ(server.requestCount("/vlm/patch/" + std::to_string(n) + ".rar"), 1);
  }
}

TEST_F(UpdateFlow, AFailedDownloadAtTheSecondOfThreeStopsTheLoop) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  server.publishPatchList(13, 0, 0);
  server.publishPatch(11, 11, 11, "eleven");
  server.publishPatch(13, 13, 13, "thirteen");  // 12 is missing: 404
  runWorker();
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u);
  EXPECT_EQ(effects.boxes[0].first, kFailDownload);
  EXPECT_EQ(effects.boxes[0].second, "");
  EXPECT_EQ(indexVersion(), 11u) << "the first package stays applied";
  EXPECT_EQ(server.requestCount("/vlm/patch/13.rar"), 0);
  EXPECT_TRUE(gameNotStarted());
  EXPECT_FALSE(fileExists("patch.hpl"));
  EXPECT_FALSE(fileExists("12.rar")) << "no error page under the archive's name";
}

TEST_F(UpdateFlow, AnArchiveThatCannotBeOpenedShowsTheExtractBox) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  server.publishPatchList(11, 0, 0);
  server.publishFile("11.rar", "this is no RAR archive");
  runWorker();
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u);
  EXPECT_EQ(effects.boxes[0].first, kFailExtract);
  EXPECT_EQ(effects.boxes[0].second, "");
  EXPECT_FALSE(fileExists("11.rar")) << "the patch archive is deleted";
  EXPECT_TRUE(gameNotStarted());
}

TEST_F(UpdateFlow, AnArchiveWithoutPackageIsSkipped) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  server.publishPatchList(12, 0, 0);
  server.publishRar(11, {{"ext", "", true}, {"ext\\notes.txt", "notes", false}});
  server.publishPatch(12, 12, 12, "twelve");
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("File does not exist."), std::string::npos) << trace;
  EXPECT_EQ(readWholeFile("notes.txt"), "notes");
  EXPECT_EQ(indexVersion(), 12u);
  EXPECT_TRUE(gameStarted());
}

TEST_F(UpdateFlow, APackageThatCannotBeAppliedStopsWithoutABox) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  server.publishPatchList(11, 0, 0);
  server.publishRar(11, {{"11.dat", "garbage, not a package", false}});
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("Failed to load the patch list."), std::string::npos) << trace;
  EXPECT_TRUE(recordedEffects().boxes.empty());
  EXPECT_FALSE(fileExists("11.dat"));
  EXPECT_FALSE(fileExists("11.rar"));
  EXPECT_EQ(indexVersion(), 10u);
  EXPECT_TRUE(gameNotStarted());
}

// A failed patch list: the box with an empty caption, then the game anyway.
struct ListFailure {
  const char* label;
  int how;  // 0: 404, 1: 500, 2: server down
};

class PatchListFails : public UpdateFlow, public ::testing::WithParamInterface<ListFailure> {};

TEST_P(PatchListFails, ShowsTheBoxAndStartsTheGame) {
  install(10);
  server.publishPatchList(11, 0, 0);
  if (GetParam().how == 0) std::filesystem::remove(std::filesystem::path(server.patchDirectory()) / "patch.hpl");
  if (GetParam().how == 1) server.publishFile("fail500", "");  // see the server's configuration
  if (GetParam().how == 2) server.nginx().stop();
  runWorker();
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u);
  EXPECT_EQ(effects.boxes[0].first, kFailDownload);
  EXPECT_EQ(effects.boxes[0].second, "");
  EXPECT_TRUE(gameStarted());
  EXPECT_FALSE(fileExists("patch.hpl"));
  EXPECT_FALSE(fileExists("cver.v")) << "nothing was read";
}

INSTANTIATE_TEST_SUITE_P(Table, PatchListFails,
                         ::testing::Values(ListFailure{"Http404", 0}, ListFailure{"HttpError", 1},
                                           ListFailure{"ServerDown", 2}),
                         [](const ::testing::TestParamInfo<ListFailure>& p) { return p.param.label; });

struct ExecutableFailure {
  const char* label;
  std::uint32_t launcher, client;  // published; installed is 1, 1
  const char* caption;
};

class ExecutableDownloadFails : public UpdateFlow, public ::testing::WithParamInterface<ExecutableFailure> {};

TEST_P(ExecutableDownloadFails, ShowsTheCaptionAndStartsTheGame) {
  install(10);
  writeWholeFile("cver.v", versionBytes(1, 1));
  writeWholeFile(kClient, "client v1");
  server.publishPatchList(11, GetParam().launcher, GetParam().client);
  server.publishPatch(11, 11, 11, "never fetched");
  runWorker();  // neither executable is published: 404
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u);
  EXPECT_EQ(effects.boxes[0].first, kFailDownload);
  EXPECT_EQ(effects.boxes[0].second, GetParam().caption);
  EXPECT_TRUE(gameStarted());
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(1, 1)) << "versions unchanged";
  EXPECT_EQ(readWholeFile(kClient), "client v1");
  EXPECT_EQ(server.requestCount("/vlm/patch/11.rar"), 0);
  EXPECT_FALSE(fileExists("launcher.bin"));
  EXPECT_FALSE(fileExists("Kelda.bin"));
}

INSTANTIATE_TEST_SUITE_P(Table, ExecutableDownloadFails,
                         ::testing::Values(ExecutableFailure{"Launcher", 2, 1, "Error updating."},
                                           ExecutableFailure{"Client", 1, 2, "Error updating"}),
                         [](const ::testing::TestParamInfo<ExecutableFailure>& p) { return p.param.label; });

TEST_F(UpdateFlow, RunPatchLoopFetchesNothingWhenNothingIsDue) {
  update::launcherVersions.latestPatch = 10;
  EXPECT_TRUE(update::runPatchLoop(11));
  EXPECT_TRUE(update::runPatchLoop(12));
  EXPECT_EQ(server.requestCount("/vlm/patch/11.rar"), 0);
}

// Sets an environment variable for one case.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) { set(value); }
  ~ScopedVariable() { set(""); }

 private:
  void set(const char* value) {
#if defined(_WIN32)
    _putenv_s(name_, value);
#else
    if (*value) {
      setenv(name_, value, 1);
    } else {
      unsetenv(name_);
    }
#endif
  }
  const char* name_;
};

// The update program could not put the new launcher in place, set "cver.v"
// back to launcher version 0 and started this launcher again: this run does
// not fetch the launcher once more (that could go round for ever); the next
// one does.
TEST_F(UpdateFlow, AfterAFailedReplacementTheLauncherWaitsForTheNextRun) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 1));
  server.publishPatchList(11, 2, 1);
  server.publishLauncher(programBytes("launcher v2"));
  server.publishPatch(11, 11, 11, "eleven");
  ScopedVariable marked(update::kSelfUpdateFailedVariable, "1");
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(server.requestsFor(thisFiles().launcher), 0);
  EXPECT_NE(trace.find("The update program could not put the new launcher in place; the next run fetches it again."),
            std::string::npos)
      << trace;
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(0, 1)) << "the next run still sees an old launcher";
  EXPECT_TRUE(gameStarted());
  EXPECT_TRUE(recordedEffects().boxes.empty());
  EXPECT_EQ(server.requestCount("/vlm/patch/11.rar"), 0) << "a pass due a new launcher does nothing else";
}

TEST(LeftoverNames, APatchArchivesTwinIsANumberAndDotRarDotPart) {
  struct Case {
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"11.rar.part", true},           {"0.rar.part", true},      {"4294967295.rar.part", true},
      {"-5.rar.part", true},           {".rar.part", false},      {"-.rar.part", false},
      {"12345678901.rar.part", false}, {"a11.rar.part", false},   {"11a.rar.part", false},
      {"11.rar.part.old", false},      {"11.rar", false},         {"11.dat.part", false},
      {"1 1.rar.part", false},         {"+11.rar.part", false},   {"11.rar.par", false},
      {"--5.rar.part", false},         {"patch.hpl.part", false}, {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(update::isPatchArchivePartName(c.name), c.matches) << c.name;
}

TEST(LeftoverNames, APatchBlockOrItsTwinIsANumberAsTheLauncherWritesIt) {
  struct Case {
    const char* name;
    bool matches;
  };
  const Case cases[] = {
      {"release-0.blk", true},
      {"release-0.blk.part", true},
      {"release-17.blk.part", true},
      {"release-4294967295.blk", true},
      {"release-4294967296.blk", false},
      {"release-9999999999.blk", false},
      {"release-01.blk", false},
      {"release-00.blk.part", false},
      {"release--1.blk", false},
      {"release-.blk", false},
      {"release-.blk.part", false},
      {"release-1.blk.part.old", false},
      {"release-1.blk.old", false},
      {"release-1a.blk", false},
      {"release-1 .blk", false},
      {"release-+1.blk", false},
      {"Release-1.blk", false},
      {"release-1.BLK", false},
      {"xrelease-1.blk", false},
      {"release-12345678901.blk", false},
      {"release-1.blk.par", false},
      {"release.rec", false},
      {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(update::isReleaseBlockLeftoverName(c.name), c.matches) << c.name;
}

// What a run that ended half-way may leave, and names that only look alike.
const std::vector<std::string> kLeftovers = {
    "patch.hpl.part", "launcher.bin.part", "Kelda.bin.part", "11.rar.part", "4294967295.rar.part", "-5.rar.part",
    "data.idx.new", "cver.v.new", "rseq.v.new", "Kelda.bin", "launcher.bin",
    // The update program's own copy of the checked launcher.
    std::string(update::kLauncherExecutableName) + update::kLauncherCopySuffix,
    // A keyed launcher's record and blocks, fetched and not yet deleted, and
    // their downloads' twins; either platform's record (a launcher of an
    // earlier version fetched "release.rec" on Linux too).
    "release.rec", "release.rec.part", "release-linux.rec", "release-linux.rec.part", "release-0.blk",
    "release-0.blk.part", "release-4294967295.blk.part", "release-39.blk"};
const std::vector<std::string> kNotLeftovers = {"11.rar",
                                                "11.dat",
                                                "notes.part",
                                                "a11.rar.part",
                                                "11.rar.part.old",
                                                ".rar.part",
                                                "12345678901.rar.part",
                                                "Kelda.exe",
                                                "Kelda",
                                                "launcher.bin.old",
                                                "rseq.v",
                                                "release-01.blk",
                                                "release-1.blk.old",
                                                "release.rec.old",
                                                "release-linux.rec.part.old",
                                                "rseq.v.new.old"};

TEST_F(UpdateFlow, LeftoversOfAnEarlierRunAreRemovedAndNothingElse) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  for (const std::string& name : kLeftovers) writeWholeFile(name, "left over");
  for (const std::string& name : kNotLeftovers) writeWholeFile(name, "kept");
  server.publishPatchList(10, 0, 0);
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  for (const std::string& name : kLeftovers) {
    EXPECT_FALSE(fileExists(name)) << name;
    EXPECT_NE(trace.find("Removed " + name + ", left by an earlier run."), std::string::npos) << name << "\n" << trace;
  }
  for (const std::string& name : kNotLeftovers) EXPECT_EQ(readWholeFile(name), "kept") << name;
  EXPECT_EQ(indexVersion(), 10u);
  EXPECT_TRUE(gameStarted());
}

#if !defined(_WIN32)
// The update program may still be waiting to put "launcher.bin" in place
// (a launcher started by hand during its wait): the file stays. Any running
// executable under the update program's name will do; under Wine this would
// need a second Windows program, so the case is native only.
TEST_F(UpdateFlow, WhileTheUpdateProgramRunsItsNewLauncherStays) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  writeWholeFile("launcher.bin", "new launcher");
  const std::string copy = std::string(update::kLauncherExecutableName) + update::kLauncherCopySuffix;
  writeWholeFile(copy, "checked launcher");
  std::string program = here(update::kUpdateProgramName);
  std::filesystem::copy_file("/bin/sleep", program);
  std::filesystem::permissions(program, std::filesystem::perms::owner_all);
  std::string seconds = "60";
  char* argv[] = {&program[0], &seconds[0], nullptr};
  pid_t running = -1;
  ASSERT_EQ(posix_spawn(&running, program.c_str(), nullptr, nullptr, argv, environ), 0);
  server.publishPatchList(10, 0, 0);
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  ::kill(running, SIGKILL);
  ::waitpid(running, nullptr, 0);
  EXPECT_EQ(readWholeFile("launcher.bin"), "new launcher");
  EXPECT_EQ(readWholeFile(copy), "checked launcher");
  EXPECT_NE(trace.find("launcher.bin stays: the update program is running."), std::string::npos) << trace;
  EXPECT_NE(trace.find(copy + " stays: the update program is running."), std::string::npos) << trace;
  EXPECT_TRUE(gameStarted());
}
#endif

TEST_F(UpdateFlow, WhileAnotherProgramHoldsTheArchivesNothingIsRemoved) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  for (const std::string& name : kLeftovers) writeWholeFile(name, "perhaps still in use");
  // Held as the launcher and vlm-patch hold them: nobody else may write.
  platform::FileHandle held = platform::openFileForExclusiveUpdate("GA0.VFS");
  ASSERT_NE(held, platform::kNoFile);
  server.publishPatchList(10, 0, 0);
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  platform::closeFile(held);
  for (const std::string& name : kLeftovers) {
    // This pass's own download of the patch list goes through that name.
    if (name == "patch.hpl.part") continue;
    EXPECT_EQ(readWholeFile(name), "perhaps still in use") << name;
  }
  EXPECT_NE(trace.find("Another program holds the game archives"), std::string::npos) << trace;
}

}  // namespace

namespace {

TEST_F(UpdateFlow, AClientThatCannotBePutInPlaceIsAFailedUpdate) {
  install(10);
  writeWholeFile("cver.v", versionBytes(1, 1));
  // A directory where the client should be: nothing can be renamed over it.
  std::filesystem::create_directories(std::filesystem::path(kClient) / "in-the-way");
  server.publishPatchList(10, 1, 2);
  server.publishClient(programBytes("client v2"));
  runWorker();
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u);
  EXPECT_EQ(effects.boxes[0].second, "Error updating");
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(1, 1)) << "the client version is not recorded";
  EXPECT_FALSE(fileExists("Kelda.bin"));
  EXPECT_TRUE(gameStarted());
}

#if !defined(_WIN32)
// A launcher directory so deep that "<dir>\<n>.rar" does not fit the patch
// loop's 256-byte buffer: the step is refused as a failed download rather
// than run on a cut, wrong path. The case copies this binary into such a
// directory and runs itself there.
TEST_F(UpdateFlow, APatchPathThatDoesNotFitIsAFailedDownload) {
  if (std::getenv("VLM_FLOW_DEEP_CHILD")) {
    ASSERT_GT(directory_.size() + std::strlen("\\11.rar"), 255u) << directory_;
    install(10);
    writeWholeFile("cver.v", versionBytes(0, 0));
    server.publishPatchList(11, 0, 0);
    server.publishPatch(11, 11, 11, "eleven");
    runWorker();
    RecordedEffects effects = recordedEffects();
    ASSERT_EQ(effects.boxes.size(), 1u);
    EXPECT_EQ(effects.boxes[0].first, kFailDownload);
    EXPECT_EQ(server.requestCount("/vlm/patch/11.rar"), 0);
    EXPECT_EQ(indexVersion(), 10u);
    EXPECT_TRUE(gameNotStarted());
    return;
  }
  TempWorkDir deep;
  std::filesystem::path dir = deep.path();
  while (dir.string().size() < 252) dir /= "launcher-directory";
  std::filesystem::create_directories(dir);
  std::filesystem::path copy = dir / "update_flow_tests";
  std::filesystem::copy_file(executableName(), copy);
  std::string command = "VLM_FLOW_DEEP_CHILD=1 '" + copy.string() +
                        "' --gtest_filter=UpdateFlow.APatchPathThatDoesNotFitIsAFailedDownload >'" +
                        (std::filesystem::path(deep.path()) / "child.log").string() + "' 2>&1";
  int status = std::system(command.c_str());
  std::string log = readWholeFile((std::filesystem::path(deep.path()) / "child.log").string());
  EXPECT_EQ(status, 0) << log;
  EXPECT_NE(log.find("[  PASSED  ] 1 test"), std::string::npos) << log;
}
#endif

}  // namespace

namespace {

// A patch archive whose package cannot be extracted whole (a wrong checksum,
// the file cut short) stops the loop as an archive that cannot be opened:
// the box, the archive deleted, no package left behind, the version kept, so
// that the next run fetches the same number again.
struct DamagedPatchCase {
  const char* label;
  bool cut;  // the file ends inside the package; else one byte of it is changed
};
void PrintTo(const DamagedPatchCase& c, std::ostream* os) { *os << c.label; }

class DamagedPatch : public UpdateFlow, public ::testing::WithParamInterface<DamagedPatchCase> {};

TEST_P(DamagedPatch, StopsTheLoopWithTheExtractBox) {
  install(10);
  writeWholeFile("cver.v", versionBytes(0, 0));
  server.publishPatchList(12, 0, 0);
  std::string archive = encodeStoredRar({{"11.dat", packageBytes(11, 11, "eleven"), false}});
  const std::size_t inPackage = archive.size() - 7 - 10;  // before the end block, inside the package
  if (GetParam().cut) {
    archive.resize(inPackage);
  } else {
    archive[inPackage] ^= 0x40;
  }
  server.publishFile("11.rar", archive);
  server.publishPatch(12, 12, 12, "twelve");
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u) << trace;
  EXPECT_EQ(effects.boxes[0].first, kFailExtract);
  EXPECT_EQ(effects.boxes[0].second, "");
  EXPECT_NE(trace.find("RAR error 12"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("11.rar Extracted successfully."), std::string::npos) << trace;
  EXPECT_FALSE(fileExists("11.rar")) << "the patch archive is deleted";
  EXPECT_FALSE(fileExists("11.dat")) << "no package is left behind";
  EXPECT_FALSE(fileExists("11.dat.vlm-part"));
  EXPECT_EQ(indexVersion(), 10u) << "the version stays, so patch 11 is fetched again";
  EXPECT_EQ(server.requestCount("/vlm/patch/12.rar"), 0);
  EXPECT_TRUE(gameNotStarted());
}

INSTANTIATE_TEST_SUITE_P(Table, DamagedPatch,
                         ::testing::Values(DamagedPatchCase{"WrongChecksum", false},
                                           DamagedPatchCase{"CutShort", true}),
                         [](const ::testing::TestParamInfo<DamagedPatchCase>& p) { return p.param.label; });

}  // namespace

namespace {

// One launcher per platform: the other platform's launcher and client on the
// same server, with versions of their own in the patch list, are never
// fetched; this launcher takes what the list publishes for its platform.
TEST_F(UpdateFlow, TheOtherPlatformsLauncherIsNeverFetched) {
  install(10);
  writeWholeFile("cver.v", versionBytes(1, 1));
  writeWholeFile(kClient, programBytes("client v1"));
  update::PatchList list;
  list.latestPatch = 12;
  list.of(update::kThisPlatform) = {0, 3};  // no launcher for this platform
  list.of(kOtherPlatform) = {7, 7};
  server.publishPatchList(list);
  server.publishFile(otherFiles().launcher, otherPlatformsProgram("other launcher v7"));
  server.publishFile(otherFiles().client, otherPlatformsProgram("other client v7"));
  server.publishClient(programBytes("client v3"));
  server.publishPatch(11, 11, 0x1111, "eleven");
  server.publishPatch(12, 12, 0x1212, "twelve");
  runWorker();
  EXPECT_EQ(server.requestsFor(otherFiles().launcher), 0);
  EXPECT_EQ(server.requestsFor(otherFiles().client), 0);
  EXPECT_EQ(server.requestsFor(thisFiles().launcher), 0);
  EXPECT_EQ(readWholeFile(kClient), programBytes("client v3"));
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(1, 3)) << "its own launcher version stays";
  EXPECT_EQ(indexVersion(), 12u);
  EXPECT_TRUE(gameStarted());
  EXPECT_TRUE(recordedEffects().boxes.empty());
  EXPECT_FALSE(fileExists("launcher.bin"));
}

// A list of 12 bytes, as servers published before there were Linux
// launchers, holds Windows versions alone: a Linux launcher takes its
// patches and neither program.
TEST_F(UpdateFlow, ATwelveByteListPublishesNoLinuxProgram) {
  if (update::kThisPlatform != update::LauncherPlatform::kLinux) GTEST_SKIP() << "a Windows launcher reads 12 bytes";
  install(10);
  writeWholeFile("cver.v", versionBytes(1, 1));
  server.publishFile("patch.hpl", update::encodePatchList([] {
                                    update::PatchList list;
                                    list.latestPatch = 11;
                                    list.of(update::LauncherPlatform::kWindows) = {5, 5};
                                    return list;
                                  }())
                                      .substr(0, 12));
  server.publishFile("Start VLM.exe", otherPlatformsProgram("windows launcher"));
  server.publishFile("Kelda.exe", otherPlatformsProgram("windows client"));
  server.publishPatch(11, 11, 0x1111, "eleven");
  runWorker();
  EXPECT_EQ(server.requestsFor("Start VLM.exe") + server.requestsFor("start-vlm"), 0);
  EXPECT_EQ(server.requestsFor("Kelda.exe") + server.requestsFor("Kelda"), 0);
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(1, 1));
  EXPECT_EQ(indexVersion(), 11u);
  EXPECT_TRUE(gameStarted());
}

// A downloaded launcher or client that is no program for this system is
// refused before anything is replaced: deleted, the failed download's box,
// the game started, the reason in the trace, no version recorded.
struct WrongProgramCase {
  const char* label;
  bool launcher;             // else the client
  update::ProgramKind kind;  // the program published; platform kWindows, machine 0: no program at all
  const char* reason;        // in the trace after the file's name; nullptr: " is <kind>, not <this system's>"
};
void PrintTo(const WrongProgramCase& c, std::ostream* out) { *out << c.label; }

update::ProgramKind otherMachinesKind() {
  update::ProgramKind kind = update::thisProgramKind();
  if (kind.platform == update::LauncherPlatform::kWindows) {
    kind.machine = kind.machine == update::kPeMachineI386 ? update::kPeMachineAmd64 : update::kPeMachineI386;
  } else {
    kind.machine = kind.machine == update::kElfMachineX86_64 ? update::kElfMachineAarch64 : update::kElfMachineX86_64;
  }
  return kind;
}

const update::ProgramKind kNoProgram{update::LauncherPlatform::kWindows, 0};

const WrongProgramCase kWrongPrograms[] = {
    {"LauncherOfTheOtherPlatform", true, otherPlatformsKind(), nullptr},
    {"ClientOfTheOtherPlatform", false, otherPlatformsKind(), nullptr},
    {"LauncherForAnotherMachine", true, otherMachinesKind(), nullptr},
    {"ClientForAnotherMachine", false, otherMachinesKind(), nullptr},
    {"LauncherThatIsNoProgram", true, kNoProgram, ": not a program: no PE or ELF header"},
    {"ClientThatIsNoProgram", false, kNoProgram, ": not a program: no PE or ELF header"},
};

class WrongProgram : public UpdateFlow, public ::testing::WithParamInterface<WrongProgramCase> {};

TEST_P(WrongProgram, IsRefusedBeforeAnythingIsReplaced) {
  const WrongProgramCase& c = GetParam();
  install(10);
  writeWholeFile("cver.v", versionBytes(1, 1));
  writeWholeFile(kClient, programBytes("client v1"));
  server.publishPatchList(11, c.launcher ? 2 : 1, c.launcher ? 1 : 2);
  const bool program = c.kind.machine != 0;
  const std::string bytes = program ? programBytes(c.kind, "new") : "#!/bin/sh\necho no program\n";
  if (c.launcher) {
    server.publishLauncher(bytes);
  } else {
    server.publishClient(bytes);
  }
  server.publishPatch(11, 11, 11, "eleven");
  ::testing::internal::CaptureStdout();
  runWorker();
  std::string trace = ::testing::internal::GetCapturedStdout();
  const std::string what = c.launcher ? "launcher" : "client";
  const std::string local = c.launcher ? "launcher.bin" : "Kelda.bin";
  EXPECT_NE(trace.find("The new " + what + " is refused: " + local), std::string::npos) << trace;
  const std::string reason = c.reason ? c.reason
                                      : " is " + update::describeProgramKind(c.kind) + ", not " +
                                            update::describeProgramKind(update::thisProgramKind());
  EXPECT_NE(trace.find(local + reason + "."), std::string::npos) << trace;
  RecordedEffects effects = recordedEffects();
  ASSERT_EQ(effects.boxes.size(), 1u) << trace;
  EXPECT_EQ(effects.boxes[0].first, kFailDownload);
  EXPECT_EQ(effects.boxes[0].second, c.launcher ? "Error updating." : "Error updating");
  EXPECT_TRUE(gameStarted()) << "no update program: " << (effects.starts.empty() ? "" : effects.starts[0]);
  EXPECT_TRUE(effects.exitsNormally.empty());
  EXPECT_EQ(readWholeFile("cver.v"), versionBytes(1, 1)) << "no version is recorded";
  EXPECT_EQ(readWholeFile(kClient), programBytes("client v1"));
  EXPECT_FALSE(fileExists("launcher.bin"));
  EXPECT_FALSE(fileExists("Kelda.bin"));
  EXPECT_EQ(server.requestCount("/vlm/patch/11.rar"), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, WrongProgram, ::testing::ValuesIn(kWrongPrograms),
                         [](const ::testing::TestParamInfo<WrongProgramCase>& p) { return p.param.label; });

}  // namespace
