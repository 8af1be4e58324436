// The launcher end to end on an Xvfb screen (the Windows build under Wine):
// a temporary installation at data version 10, a real nginx on loopback
// publishing patches 11 and 12, and the real launcher executable. It must
// fetch and apply both patches, show the game start in its window (gold
// status, full lower bar), start the client (a stand-in that records its
// command line) and end with exit code 0. Beside a game client that is
// already running it must start another without updating; and a failure
// must show its message box, which holds the worker until it is closed.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "archive/index_writer.h"
#include "launcher_process.h"
#include "patch_server.h"
#include "screen_capture.h"
#include "support/temp_dir.h"
#include "update/game_start.h"
#include "update/server_files.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include "platform/linux/message_box_layout.h"
#include "window_close_x11.h"
#endif

namespace fs = std::filesystem;

namespace {

std::string littleEndian32(std::uint32_t v) {
  char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                   static_cast<char>(v >> 24)};
  return std::string(bytes, 4);
}

std::uint32_t indexVersion(const std::string& path) {
  std::string bytes = readWholeFile(path);
  if (bytes.size() < 4) return 0xFFFFFFFFu;
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
}

// Window pixels of a screenshot: the launcher sits at (483, 234) on 1366 x 768.
Rgb windowPixel(const Picture& screen, int x, int y) { return screen.at(483 + x, 234 + y); }

// The game start shows its message in gold (red 252, green 237, blue 35).
int goldStatusPixels(const Picture& screen) {
  int gold = 0;
  for (int y = 209; y < 227; ++y)
    for (int x = 28; x < 366; ++x) {
      Rgb p = windowPixel(screen, x, y);
      if (p.r > 200 && p.g > 180 && p.b < 110 && p.r >= p.g) ++gold;
    }
  return gold;
}

int lowerBarColumns(const Picture& screen, const Picture& bar) {
  int width = 0;
  while (width < 342 && windowPixel(screen, 27 + width, 259 + 7) == bar.at(width, 7)) ++width;
  return width;
}

bool waitFor(const std::function<bool()>& done, double seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

// The game client's stand-in, as the platform's client in the installation
// ("Kelda.exe"; on Linux "Kelda").
void installClientStandIn() {
#if defined(_WIN32)
  fs::copy_file(hostPath(VLM_CLIENT_PATH), "Kelda.exe");
#else
  // TEST STAND-IN for the game client: records its name and how it was
  // started. A Windows client left in the installation beside it must not
  // be the one the game start runs.
  for (const char* name : {"Kelda", "Kelda.exe"}) {
    writeWholeFile(name, "#!/bin/sh\necho \"$(basename \"$0\") $*\" > \"$(dirname \"$0\")/client_command_line.txt\"\n");
    fs::permissions(name, fs::perms::owner_all, fs::perm_options::add);
  }
#endif
}

// An installation at data version 10 with the launcher, "cver.v" (launcher
// and client version 0) and the client stand-in, in the test's directory.
void installLauncherAt10() {
  writeWholeFile("GA0.VFS", "");
  ASSERT_TRUE(archive::writeIndexFile("data.idx", 10, {{"GA0.VFS", {}}}));
  writeWholeFile("cver.v", littleEndian32(0) + littleEndian32(0));
  const std::string launcherName = fs::path(VLM_LAUNCHER_PATH).filename().string();
  fs::copy_file(hostPath(VLM_LAUNCHER_PATH), launcherName);
  fs::permissions(launcherName, fs::perms::owner_all, fs::perm_options::add);
#if defined(_WIN32)
  fs::copy_file(hostPath(VLM_UNRAR_PATH), "unrar.dll");
#endif
  installClientStandIn();
}

std::string installedLauncher(const TempWorkDir& install) {
  return (fs::path(install.path()) / fs::path(VLM_LAUNCHER_PATH).filename()).string();
}

// The game client already running: the stand-in with its "cKELDA" window.
// On Linux it is the Windows stand-in run through Wine, whose window the X
// server knows by the X11 class "kelda.exe" only.
std::unique_ptr<LauncherProcess> startRunningClient() {
#if defined(_WIN32)
  return std::make_unique<LauncherProcess>(hostPath(VLM_CLIENT_PATH), "", "", std::vector<std::string>{"--window"});
#elif defined(VLM_CLIENT_WINDOW_PATH)
  setenv("WINEDEBUG", "-all", 1);
  setenv("WINEDLLOVERRIDES", "mscoree,mshtml=d", 1);
  return std::make_unique<LauncherProcess>(VLM_WINE_PATH, "", "",
                                           std::vector<std::string>{VLM_CLIENT_WINDOW_PATH, "--window"});
#else
  return nullptr;
#endif
}

bool runningClientWindowShows() {
#if defined(_WIN32)
  return FindWindowA("cKELDA", nullptr) != nullptr;
#else
  return !commandOutput("xdotool search --onlyvisible --classname '^kelda[.]exe$' 2>/dev/null").empty();
#endif
}

TEST(LauncherEndToEnd, BesideARunningClientStartsAnotherWithoutUpdating) {
#if !defined(_WIN32) && !defined(VLM_CLIENT_WINDOW_PATH)
  FAIL() << "this build found no wine64 or x86_64-w64-mingw32-g++ for the running client (tools/install-deps.sh)";
#endif
  TempWorkDir install;
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishPatchList(12, 0, 0);
  server.publishPatch(11, 11, 0x1111, "eleven");
  server.publishPatch(12, 12, 0x1212, "twelve");
  ASSERT_NO_FATAL_FAILURE(installLauncherAt10());

  std::unique_ptr<LauncherProcess> client = startRunningClient();
  ASSERT_TRUE(client && client->started());
  // A new Wine prefix is made on the first start: that takes a while.
  ASSERT_TRUE(waitFor(runningClientWindowShows, 240)) << "the running client's window never showed";

  ASSERT_EQ(runUnixShell("xdotool mousemove 5 5"), 0);
  LauncherProcess launcher(installedLauncher(install), "", install.path());
  ASSERT_TRUE(launcher.started());
  int code = -1;
  ASSERT_TRUE(launcher.waitForExit(&code, 120)) << "the launcher did not end";
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(waitFor([] { return fileExists("client_command_line.txt"); }, 60)) << "no second client was started";
  EXPECT_NE(readWholeFile("client_command_line.txt").find("_server"), std::string::npos);
  // Nothing of the update ran.
  EXPECT_EQ(server.requestCount("/vlm/patch/patch.hpl"), 0);
  EXPECT_EQ(server.requestCount("/vlm/patch/11.rar"), 0);
  EXPECT_EQ(indexVersion("data.idx"), 10u);
}

TEST(LauncherEndToEnd, UpdatesAppliesThePatchesShowsThemAndStartsTheClient) {
  const Picture lowerBar = loadPicture(VLM_RESOURCE_DIR "/107.bmp");
  ASSERT_EQ(lowerBar.width, 342);

  TempWorkDir install;
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishPatchList(12, 0, 0);
  server.publishPatch(11, 11, 0x1111, "eleven");
  server.publishPatch(12, 12, 0x1212, "twelve");
  ASSERT_NO_FATAL_FAILURE(installLauncherAt10());

  // The pointer off the window, which must not change the close button.
  ASSERT_EQ(runUnixShell("xdotool mousemove 5 5"), 0);
  LauncherProcess launcher(installedLauncher(install), "", install.path());
  ASSERT_TRUE(launcher.started());

  // The game start holds its message for three seconds before it starts the
  // client: poll the screen for it.
  bool shown = waitFor(
      [&] {
        Picture screen = captureScreen();
        if (screen.width < 883 || screen.height < 534) return false;
        return goldStatusPixels(screen) > 15 && lowerBarColumns(screen, lowerBar) == 342;
      },
      180);
  if (shown) {
    EXPECT_TRUE(saveScreenPng(VLM_ARTIFACT_DIR "/launcher-" VLM_TARGET_NAME "-end-to-end.png"));
  }
  EXPECT_TRUE(shown) << "the window never showed the game start with both patches applied";

  int code = -1;
  ASSERT_TRUE(launcher.waitForExit(&code, 180)) << "the launcher did not end";
  EXPECT_EQ(code, 0);

  EXPECT_EQ(indexVersion("data.idx"), 12u);
  EXPECT_EQ(server.requestCount("/vlm/patch/11.rar"), 1);
  EXPECT_EQ(server.requestCount("/vlm/patch/12.rar"), 1);
  ASSERT_TRUE(waitFor([] { return fileExists("client_command_line.txt"); }, 60)) << "the client was not started";
  // The stand-in records its command line: the client's name and arguments.
  std::string recorded = readWholeFile("client_command_line.txt");
  std::string expected = update::gameClientCommandLine();
  EXPECT_NE(recorded.find(expected.substr(expected.find(' '))), std::string::npos) << recorded;
  EXPECT_NE(recorded.find(std::string(update::thisPlatformFiles().client) + " @HALVORN_MODE@"), std::string::npos)
      << recorded;
  for (const char* leftover : {"11.rar", "12.rar", "11.dat", "12.dat", "patch.hpl"})
    EXPECT_FALSE(fileExists(leftover)) << leftover;
}

// vlm-patch, the tree's own, run as the operator runs it: its exit code, or
// -1 when it did not run or end.
int runTool(const std::vector<std::string>& arguments) {
  LauncherProcess tool(hostPath(VLM_PATCH_EXE), "", "", arguments);
  int code = -1;
  if (!tool.started() || !tool.waitForExit(&code, 300)) return -1;
  return code;
}

// The public key of a key file that vlm-patch wrote: its "public" line.
std::string publicKeyOf(const std::string& keyFile) {
  std::istringstream lines(readWholeFile(keyFile));
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind("public ", 0) == 0) return line.substr(7);
  return "";
}

void setEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// An installation made by applying manifests (each one a package of its
// version) to an empty one.
void makeInstallation(const std::string& dir, const std::vector<std::string>& manifests) {
  fs::create_directory(dir);
  ASSERT_EQ(runTool({"index", "init", dir}), 0);
  for (std::size_t i = 0; i < manifests.size(); ++i) {
    const std::string manifest = dir + "-" + std::to_string(i) + ".txt",
                      package = dir + "-" + std::to_string(i) + ".dat";
    writeWholeFile(manifest, manifests[i]);
    ASSERT_EQ(runTool({"package", "build", manifest, "-o", package}), 0);
    ASSERT_EQ(runTool({"apply", dir, package}), 0);
  }
}

// A game whose players are at version 300 already moves onto this launcher:
// the operator starts a signed server at 300, diffs the players' release
// against the studio's next one, checks the server and the packages,
// publishes them and this platform's client, and a launcher that trusts
// the operator's key brings a player's installation to the new release.
// Then the operator publishes the release's repair set, and the launcher
// started with "--repair" mends a damaged file of the installation.
TEST(OperatorPath, ALiveGameMovesOntoASignedServerAndItsLaunchersUpdate) {
  TempWorkDir work;
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  writeWholeFile("a.bin", "texture a");
  writeWholeFile("b.bin", "texture b");
  writeWholeFile("a2.bin", "texture a, second cut");
  writeWholeFile("c.bin", "texture c");
  writeWholeFile("readme.txt", "what is new");
  const std::string players = "version 300\nstore 0x100 a.bin\nstore 0x101 b.bin\n";
  ASSERT_NO_FATAL_FAILURE(makeInstallation("old", {players}));
  ASSERT_NO_FATAL_FAILURE(makeInstallation("new", {players, "version 301\nstore 0x100 a2.bin\nstore 0x102 c.bin\n",
                                                   "version 302\nwrite docs/readme.txt readme.txt\n"}));

  // The operator's steps, as the README gives them.
  const std::string serverDir = server.patchDirectory();
  ASSERT_EQ(runTool({"key", "generate", "operator.key"}), 0);
  ASSERT_EQ(runTool({"server", "init", serverDir, "--latest", "300", "--key", "operator.key"}), 0);
  ASSERT_EQ(runTool({"diff", "old", "new", "-o", "patches"}), 0);
  ASSERT_EQ(runTool({"server", "check", serverDir, "--public-key", "operator.key"}), 0);
  ASSERT_NO_FATAL_FAILURE(makeInstallation("check", {players}));
  ASSERT_EQ(runTool({"apply", "check", "patches/301.dat", "patches/302.dat"}), 0);
  ASSERT_EQ(runTool({"compare", "check", "new"}), 0);
  ASSERT_EQ(runTool({"publish", serverDir, "patches", "--key", "operator.key"}), 0);
  ASSERT_EQ(runTool({"publish-client", serverDir, hostPath(VLM_CLIENT_PATH), "--key", "operator.key"}), 0);
  ASSERT_EQ(runTool({"server", "check", serverDir, "--public-key", "operator.key"}), 0);
  EXPECT_FALSE(fileExists(serverDir + "/1.rar"));

  // A player's installation from before: the release at 300, a launcher
  // built to trust the operator's key, no client of this platform yet.
  fs::copy("old", "install", fs::copy_options::recursive);
  const std::string launcherName = fs::path(VLM_LAUNCHER_PATH).filename().string();
  fs::copy_file(hostPath(VLM_LAUNCHER_PATH), "install/" + launcherName);
  fs::permissions("install/" + launcherName, fs::perms::owner_all, fs::perm_options::add);
  writeWholeFile("install/cver.v", littleEndian32(0) + littleEndian32(0));
#if defined(_WIN32)
  fs::copy_file(hostPath(VLM_UNRAR_PATH), "install/unrar.dll");
#endif
  const std::string key = publicKeyOf("operator.key");
  ASSERT_EQ(key.size(), 128u);
  setEnvironment("VLM_TEST_TRUSTED_KEYS", key);
  const std::string install = (fs::current_path() / "install").string();
  LauncherProcess launcher(install + "/" + launcherName, "", install);
  ASSERT_TRUE(launcher.started());
  int code = -1;
  const bool ended = launcher.waitForExit(&code, 300);
  setEnvironment("VLM_TEST_TRUSTED_KEYS", "");
  ASSERT_TRUE(ended) << "the launcher did not end";
  EXPECT_EQ(code, 0);

  // It took its own platform's record and nothing the release does not
  // publish, started the new client, and holds the new release.
  EXPECT_EQ(server.requestsFor(thisFiles().record), 1);
  EXPECT_EQ(server.requestsFor(otherFiles().record), 0);
  EXPECT_EQ(server.requestsFor(otherFiles().client), 0);
  EXPECT_EQ(server.requestCount("/vlm/patch/300.rar"), 0);
  ASSERT_TRUE(waitFor([] { return fileExists("install/client_command_line.txt"); }, 60))
      << "the client was not started";
  EXPECT_NE(readWholeFile("install/client_command_line.txt").find(" @HALVORN_MODE@ _server "), std::string::npos);
  fs::remove("install/client_command_line.txt");
  EXPECT_EQ(runTool({"compare", "install", "new"}), 0);
  EXPECT_EQ(indexVersion("install/data.idx"), 302u);

  // The operator publishes the release's repair set; later a file of the
  // installation is damaged, and the player starts the launcher with the
  // word that asks for a repair.
  ASSERT_EQ(runTool({"publish-repair-set", serverDir, "new", "--key", "operator.key"}), 0);
  ASSERT_EQ(runTool({"server", "check", serverDir, "--public-key", "operator.key"}), 0);
  writeWholeFile("install/docs/readme.txt", "what is new, damaged");
  ASSERT_NE(runTool({"compare", "install", "new"}), 0);
  setEnvironment("VLM_TEST_TRUSTED_KEYS", key);
  LauncherProcess repairing(install + "/" + launcherName, "", install, {"--repair"});
  ASSERT_TRUE(repairing.started());
  const bool repaired = repairing.waitForExit(&code, 300);
  setEnvironment("VLM_TEST_TRUSTED_KEYS", "");
  ASSERT_TRUE(repaired) << "the repairing launcher did not end";
  EXPECT_EQ(code, 0);
  ASSERT_TRUE(waitFor([] { return fileExists("install/client_command_line.txt"); }, 60))
      << "the client was not started after the repair";
  fs::remove("install/client_command_line.txt");
  EXPECT_EQ(runTool({"compare", "install", "new"}), 0);
  EXPECT_EQ(indexVersion("install/data.idx"), 302u);
  EXPECT_FALSE(fileExists("install/repair.v"));
}

// A repair killed at every point where a power loss could strike (its mark
// written, the index prepared, each pack fetched, extracted and applied, the
// version given) leaves an installation that the next run, asked for
// nothing, repairs whole: the mark tells it to.
TEST(RepairKilled, AtEveryPointTheNextRunFinishesIt) {
  TempWorkDir work;
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  writeWholeFile("k1.bin", std::string(40000, 'a'));
  writeWholeFile("k2.bin", std::string(40000, 'b'));
  writeWholeFile("news.txt", "the festival starts at noon");
  ASSERT_NO_FATAL_FAILURE(makeInstallation(
      "release", {"version 4\nstore 0x10 k1.bin\nstore 0x11 k2.bin\n", "version 5\nwrite news.txt news.txt\n"}));
  const std::string serverDir = server.patchDirectory();
  ASSERT_EQ(runTool({"key", "generate", "operator.key"}), 0);
  ASSERT_EQ(runTool({"server", "init", serverDir, "--latest", "5", "--key", "operator.key"}), 0);
  ASSERT_EQ(runTool({"publish-client", serverDir, hostPath(VLM_CLIENT_PATH), "--key", "operator.key"}), 0);
  ASSERT_EQ(runTool({"publish-repair-set", serverDir, "release", "--key", "operator.key", "--pack-size", "64K"}), 0);

  // The player's installation: the release with one key and the file
  // damaged, in two packs of the three.
  fs::copy("release", "damaged", fs::copy_options::recursive);
  const std::string launcherName = fs::path(VLM_LAUNCHER_PATH).filename().string();
  fs::copy_file(hostPath(VLM_LAUNCHER_PATH), "damaged/" + launcherName);
  fs::permissions("damaged/" + launcherName, fs::perms::owner_all, fs::perm_options::add);
  writeWholeFile("damaged/cver.v", littleEndian32(0) + littleEndian32(1));
  fs::copy_file(hostPath(VLM_CLIENT_PATH), "damaged/" + std::string(update::thisPlatformFiles().client));
#if defined(_WIN32)
  fs::copy_file(hostPath(VLM_UNRAR_PATH), "damaged/unrar.dll");
#endif
  std::string archive;
  for (const auto& entry : fs::directory_iterator("damaged"))
    if (entry.path().extension() == ".VFS") archive = entry.path().string();
  ASSERT_FALSE(archive.empty());
  std::string bytes = readWholeFile(archive);
  bytes[100] = 'x';  // inside key 0x10, the first stored
  writeWholeFile(archive, bytes);
  writeWholeFile("damaged/news.txt", "the festival is cancelled");

  const std::string key = publicKeyOf("operator.key");
  const std::string install = (fs::current_path() / "install").string();
  auto runLauncher = [&](long crashAt, bool ask) {
    setEnvironment("VLM_TEST_TRUSTED_KEYS", key);
    setEnvironment("VLM_CRASH_AT_POINT", crashAt ? std::to_string(crashAt) : "");
    LauncherProcess launcher(install + "/" + launcherName, "", install,
                             ask ? std::vector<std::string>{"--repair"} : std::vector<std::string>{});
    int code = -1;
    bool ended = launcher.started() && launcher.waitForExit(&code, 300);
    setEnvironment("VLM_CRASH_AT_POINT", "");
    setEnvironment("VLM_TEST_TRUSTED_KEYS", "");
    return ended ? code : -1;
  };
  auto equalsRelease = [&] {
    // The client stand-in's record is not the release's.
    waitFor([] { return fileExists("install/client_command_line.txt"); }, 30);
    std::error_code failed;
    waitFor([&] { return fs::remove("install/client_command_line.txt", failed), !failed; }, 30);
    return runTool({"compare", "install", "release"}) == 0;
  };

  int points = 0;
  for (long point = 1; point <= 20; ++point) {
    SCOPED_TRACE("killed at point " + std::to_string(point));
    // Under Wine the files of a process that just ended can stay held for a
    // moment: wait until the old installation can go.
    std::error_code failed;
    ASSERT_TRUE(waitFor([&] { return fs::remove_all("install", failed), !failed; }, 30)) << failed.message();
    fs::copy("damaged", "install", fs::copy_options::recursive, failed);
    ASSERT_FALSE(failed) << failed.message();
    int code = runLauncher(point, true);
    if (code == 0) {
      // The repair passed every point without reaching this one.
      EXPECT_TRUE(equalsRelease());
      break;
    }
    ASSERT_EQ(code, 75) << "the launcher did not end where a power loss struck";
    ++points;
    EXPECT_TRUE(fileExists("install/repair.v"));
    EXPECT_EQ(runLauncher(0, false), 0);
    EXPECT_TRUE(equalsRelease());
    EXPECT_EQ(indexVersion("install/data.idx"), 5u);
    EXPECT_FALSE(fileExists("install/repair.v"));
  }
  // The mark, the index, three points for each of the two packs, the version.
  EXPECT_EQ(points, 9);
}

#if !defined(_WIN32)

// A message box of the Linux launcher's own: a top-level window of its X11
// class "V.L.M" that is not the launcher window itself.
struct BoxWindow {
  unsigned long id = 0;
  int x = 0, y = 0, width = 0, height = 0;
};

bool findBoxWindow(BoxWindow* box) {
  std::istringstream lines(commandOutput("xwininfo -root -children 2>/dev/null"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.find("(\"V.L.M\" \"V.L.M\")") == std::string::npos) continue;
    if (line.find("\"V.L.M\":") != std::string::npos) continue;  // the launcher window
    const std::size_t geometry = line.find(")  ");
    if (geometry == std::string::npos) continue;
    BoxWindow found;
    found.id = std::strtoul(line.c_str(), nullptr, 16);
    if (std::sscanf(line.c_str() + geometry + 3, "%dx%d+%d+%d", &found.width, &found.height, &found.x, &found.y) != 4)
      continue;
    *box = found;
    return true;
  }
  return false;
}

// What the window manager sends when the player closes a window.
void sendWindowClose(unsigned long window) {
  Display* display = XOpenDisplay(nullptr);
  ASSERT_NE(display, nullptr);
  sendWindowManagerClose(display, window);
  XCloseDisplay(display);
}

void clickOk(const BoxWindow& box) {
  const platform::BoxRect ok = platform::okButtonOf(box.width, box.height);
  const int x = box.x + ok.left + ok.width / 2, y = box.y + ok.top + ok.height / 2;
  ASSERT_EQ(runUnixShell("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) + " click 1"), 0);
}
void pressEnter(const BoxWindow&) { ASSERT_EQ(runUnixShell("xdotool key Return"), 0); }
void closeWindow(const BoxWindow& box) { sendWindowClose(box.id); }

// Dark pixels (the black text) in the box's text area of a screenshot.
int boxTextPixels(const Picture& screen, const BoxWindow& box) {
  int dark = 0;
  for (int y = box.y + 20; y < box.y + box.height - 35 && y < screen.height; ++y)
    for (int x = box.x + 16; x < box.x + box.width - 16 && x < screen.width; ++x) {
      Rgb p = screen.at(x, y);
      if (p.r < 90 && p.g < 90 && p.b < 90) ++dark;
    }
  return dark;
}

struct BoxCloseCase {
  const char* how;
  void (*close)(const BoxWindow&);
};

class FailureBox : public testing::TestWithParam<BoxCloseCase> {};

// No patch list on the server: the download of it fails, the worker shows
// "Failed to download the update.." in a box and waits in it; once the player
// closes the box the launcher starts the game as after any failed update.
TEST_P(FailureBox, ShowsOnAPlainXServerAndHoldsTheWorkerUntilClosed) {
  const BoxCloseCase& c = GetParam();
  TempWorkDir install;
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  ASSERT_NO_FATAL_FAILURE(installLauncherAt10());
  ASSERT_EQ(runUnixShell("xdotool mousemove 5 5"), 0);
  LauncherProcess launcher(installedLauncher(install), "", install.path());
  ASSERT_TRUE(launcher.started());

  BoxWindow box;
  ASSERT_TRUE(waitFor([&] { return findBoxWindow(&box); }, 60))
      << "no message box showed: " << commandOutput("xwininfo -root -children");
  Picture screen;
  ASSERT_TRUE(waitFor(
      [&] {
        screen = captureScreen();
        return !screen.empty() && boxTextPixels(screen, box) > 40;
      },
      30))
      << "the box shows no text";
  EXPECT_TRUE(
      saveScreenPng(std::string(VLM_ARTIFACT_DIR "/launcher-" VLM_TARGET_NAME "-message-box-") + c.how + ".png"));

  // The worker waits in the box: the game start (three seconds) does not come.
  int code = -1;
  EXPECT_FALSE(launcher.waitForExit(&code, 5)) << "the launcher went on while its box was open";
  EXPECT_FALSE(fileExists("client_command_line.txt"));
  EXPECT_TRUE(findBoxWindow(&box));

  ASSERT_NO_FATAL_FAILURE(c.close(box));
  EXPECT_TRUE(waitFor([&] { return !findBoxWindow(&box); }, 30)) << "the box did not close " << c.how;
  ASSERT_TRUE(launcher.waitForExit(&code, 60)) << "the launcher did not go on after its box";
  EXPECT_EQ(code, 0);
  EXPECT_TRUE(waitFor([] { return fileExists("client_command_line.txt"); }, 60)) << "the game was not started";
}

std::string boxCaseName(const testing::TestParamInfo<BoxCloseCase>& c) { return c.param.how; }

INSTANTIATE_TEST_SUITE_P(Table, FailureBox,
                         testing::Values(BoxCloseCase{"ok", clickOk}, BoxCloseCase{"enter", pressEnter},
                                         BoxCloseCase{"window_close", closeWindow}),
                         boxCaseName);

#endif

}  // namespace
