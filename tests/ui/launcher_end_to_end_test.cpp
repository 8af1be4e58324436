// The launcher end to end on an Xvfb screen (the Windows build under Wine):
// a temporary installation at data version 10, a real nginx on loopback
// publishing patches 11 and 12, and the real launcher executable. It must
// fetch and apply both patches, show the game start in its window (gold
// status, full lower bar), start the client (a stand-in that records its
// command line) and end with exit code 0.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "archive/index_writer.h"
#include "launcher_process.h"
#include "patch_server.h"
#include "screen_capture.h"
#include "support/temp_dir.h"
#include "update/game_start.h"

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

// The game client's stand-in, as "Kelda.exe" in the installation.
void installClientStandIn() {
#if defined(_WIN32)
  fs::copy_file(hostPath(VLM_CLIENT_PATH), "Kelda.exe");
#else
  // TEST STAND-IN for the game client: records how it was started.
  writeWholeFile("Kelda.exe", "#!/bin/sh\necho \"Kelda.exe $*\" > \"$(dirname \"$0\")/client_command_line.txt\"\n");
  fs::permissions("Kelda.exe", fs::perms::owner_all, fs::perm_options::add);
#endif
}

TEST(LauncherEndToEnd, UpdatesAppliesThePatchesShowsThemAndStartsTheClient) {
  const Picture lowerBar = loadPicture(VLM_RESOURCE_DIR "/107.bmp");
  ASSERT_EQ(lowerBar.width, 342);

  TempWorkDir install;
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  writeWholeFile("GA0.VFS", "");
  ASSERT_TRUE(writeIndexFile("data.idx", 10, {{"GA0.VFS", {}}}));
  writeWholeFile("cver.v", littleEndian32(0) + littleEndian32(0));
  server.publishPatchList(12, 0, 0);
  server.publishPatch(11, 11, 0x1111, "eleven");
  server.publishPatch(12, 12, 0x1212, "twelve");
  const std::string launcherName = fs::path(VLM_LAUNCHER_PATH).filename().string();
  fs::copy_file(hostPath(VLM_LAUNCHER_PATH), launcherName);
  fs::permissions(launcherName, fs::perms::owner_all, fs::perm_options::add);
#if defined(_WIN32)
  fs::copy_file(hostPath(VLM_UNRAR_PATH), "unrar.dll");
#endif
  installClientStandIn();

  // The pointer off the window, which must not change the close button.
  ASSERT_EQ(runUnixShell("xdotool mousemove 5 5"), 0);
  LauncherProcess launcher((fs::path(install.path()) / launcherName).string(), "", install.path());
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
  std::string expected = gameClientCommandLine();
  EXPECT_NE(recorded.find(expected.substr(expected.find(' '))), std::string::npos) << recorded;
  EXPECT_NE(recorded.find("Kelda.exe"), std::string::npos) << recorded;
  for (const char* leftover : {"11.rar", "12.rar", "11.dat", "12.dat", "patch.hpl"})
    EXPECT_FALSE(fileExists(leftover)) << leftover;
}

}  // namespace
