// downloadFile against a real nginx on loopback: whole files, HTTP errors,
// cut and stalled transfers, a server that is down.
#include "update/download.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "core/display_state.h"
#include "core/paths.h"
#include "patch_server.h"
#include "platform/clock.h"
#include "platform/download.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  return bytes;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::setDownloadStallLimitMs(platform::kDefaultDownloadStallLimitMs);
    resetDisplayState(displayState);
    // The 120 ms gate counts from process start: be past it, so the first
    // report of a download is shown.
    while (platform::clockTicksMs() < 2 * kProgressGateMs) platform::sleepMs(10);
  }
  void TearDown() override { platform::setDownloadStallLimitMs(platform::kDefaultDownloadStallLimitMs); }
  TempWorkDir work;
};

TEST_F(DownloadTest, StoresTheWholeFileAndLeavesNoTemporaryName) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  std::string body = pattern(3 * 1024 * 1024 + 17);
  server.publishFile("12.rar", body);
  std::string local = (fs::path(work.path()) / "12.rar").string();
  ASSERT_TRUE(downloadFile((server.baseUrl() + "/12.rar").c_str(), local.c_str()));
  EXPECT_EQ(readWholeFile(local), body);
  EXPECT_FALSE(fileExists(local + ".part"));
  EXPECT_EQ(displayState.fileProgressMax, 100u) << "the first progress report is always shown";
}

TEST_F(DownloadTest, FetchesANameWithABlank) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishFile("Start VLM.exe", "MZ new launcher");
  ASSERT_TRUE(downloadFile((server.baseUrl() + "/Start VLM.exe").c_str(), "launcher.bin"));
  EXPECT_EQ(readWholeFile("launcher.bin"), "MZ new launcher");
}

TEST_F(DownloadTest, ReplacesAnOlderFileOfTheSameName) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishFile("patch.hpl", std::string(12, '\x01'));
  writeWholeFile("patch.hpl", "old contents that are longer");
  ASSERT_TRUE(downloadFile((server.baseUrl() + "/patch.hpl").c_str(), "patch.hpl"));
  EXPECT_EQ(readWholeFile("patch.hpl"), std::string(12, '\x01'));
}

// Every refused transfer: false, the good file kept, no temporary name left.
struct RefusedCase {
  const char* label;
  const char* path;
};

class RefusedDownload : public DownloadTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedDownload, FailsAndKeepsTheGoodFile) {
  NginxOptions options;
  options.extraServerConfig =
      "location = /vlm/patch/boom.rar { return 500; }\n"
      "location = /vlm/patch/forbidden.rar { return 403; }\n";
  PatchServer server(options);
  ASSERT_TRUE(server.start()) << server.nginx().why();
  writeWholeFile("kept.rar", "the good file");
  EXPECT_FALSE(downloadFile((server.baseUrl() + GetParam().path).c_str(), "kept.rar"));
  EXPECT_EQ(readWholeFile("kept.rar"), "the good file") << "never an error page in its place";
  EXPECT_FALSE(fileExists("kept.rar.part"));
}

INSTANTIATE_TEST_SUITE_P(HttpErrors, RefusedDownload,
                         ::testing::Values(RefusedCase{"404", "/missing.rar"}, RefusedCase{"500", "/boom.rar"},
                                           RefusedCase{"403", "/forbidden.rar"}),
                         [](const ::testing::TestParamInfo<RefusedCase>& p) {
                           return std::string("Status") + p.param.label;
                         });

TEST_F(DownloadTest, AServerThatIsDownIsAFailedDownload) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishFile("1.rar", "data");
  std::string url = server.baseUrl() + "/1.rar";
  server.nginx().stop();
  EXPECT_FALSE(downloadFile(url.c_str(), "1.rar"));
  EXPECT_FALSE(fileExists("1.rar"));
  EXPECT_FALSE(fileExists("1.rar.part"));
}

// Starts a slow download of a large file on another thread and, once part of
// it has arrived, does something to the server. Returns the download's result.
template <class Interfere>
bool downloadWhileInterfering(PatchServer& server, const std::string& local, Interfere interfere) {
  server.publishFile("big.rar", pattern(8 * 1024 * 1024));
  std::string url = server.baseUrl() + "/big.rar";
  std::atomic<int> result{-1};
  std::thread transfer([&] { result = downloadFile(url.c_str(), local.c_str()) ? 1 : 0; });
  std::string partial = local + ".part";
  for (int i = 0; i < 400; ++i) {
    std::error_code ignored;
    if (fs::exists(partial) && fs::file_size(partial, ignored) > 64 * 1024) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  interfere();
  transfer.join();
  return result == 1;
}

TEST_F(DownloadTest, ACutTransferIsAFailedDownload) {
  NginxOptions options;
  options.limitRate = 512 * 1024;
  PatchServer server(options);
  ASSERT_TRUE(server.start()) << server.nginx().why();
  writeWholeFile("big.rar", "the good file");
  EXPECT_FALSE(downloadWhileInterfering(server, "big.rar", [&] { server.nginx().kill(); }));
  EXPECT_EQ(readWholeFile("big.rar"), "the good file");
  EXPECT_FALSE(fileExists("big.rar.part"));
}

TEST_F(DownloadTest, ATransferThatStallsIsAbandoned) {
  NginxOptions options;
  options.limitRate = 512 * 1024;
  PatchServer server(options);
  ASSERT_TRUE(server.start()) << server.nginx().why();
  platform::setDownloadStallLimitMs(1500);
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(downloadWhileInterfering(server, "big.rar", [&] { server.nginx().pause(); }));
  auto took = std::chrono::steady_clock::now() - started;
  server.nginx().resume();
  EXPECT_LT(took, std::chrono::seconds(60)) << "the stall limit, not the default, ended it";
  EXPECT_FALSE(fileExists("big.rar"));
  EXPECT_FALSE(fileExists("big.rar.part"));
}

TEST_F(DownloadTest, StatusLineNamesTheFileRelativeToTheLauncher) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishFile("7.rar", "seven");
  // A unique name beside the test binary, since several cases run at once.
  std::string name = "dl-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".rar";
  std::string local = exeDirectory() + "\\" + name;
  ASSERT_TRUE(downloadFile((server.baseUrl() + "/7.rar").c_str(), local.c_str()));
  EXPECT_EQ(std::string(displayState.statusText), "Downloading file 'patch_" + name + "'...");
  std::error_code ignored;
  fs::remove(fs::path(exeDirectory()) / name, ignored);
}

}  // namespace
