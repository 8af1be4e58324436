// downloadFile against a real nginx on loopback: whole files, HTTP errors,
// cut, stalled and trickling transfers, compressed answers, a server that is
// down.
#include "update/download.h"

#include <gtest/gtest.h>

#include <algorithm>
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
#include "support/launcher_state.h"
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
    resetLauncherState();
    // The 120 ms gate counts from process start: be past it, so the first
    // report of a download is shown.
    while (platform::clockTicksMs() < 2 * update::kProgressGateMs) platform::sleepMs(10);
  }
  void TearDown() override { resetLauncherState(); }
  TempWorkDir work;
};

TEST_F(DownloadTest, StoresTheWholeFileAndLeavesNoTemporaryName) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  std::string body = pattern(3 * 1024 * 1024 + 17);
  server.publishFile("12.rar", body);
  std::string local = (fs::path(work.path()) / "12.rar").string();
  ASSERT_TRUE(update::downloadFile((server.baseUrl() + "/12.rar").c_str(), local.c_str()));
  EXPECT_EQ(readWholeFile(local), body);
  EXPECT_FALSE(fileExists(local + ".part"));
  EXPECT_EQ(core::displayState.fileProgressMax, 100u) << "the first progress report is always shown";
}

TEST_F(DownloadTest, FetchesANameWithABlank) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishFile("Start VLM.exe", "MZ new launcher");
  ASSERT_TRUE(update::downloadFile((server.baseUrl() + "/Start VLM.exe").c_str(), "launcher.bin"));
  EXPECT_EQ(readWholeFile("launcher.bin"), "MZ new launcher");
}

TEST_F(DownloadTest, ReplacesAnOlderFileOfTheSameName) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishFile("patch.hpl", std::string(12, '\x01'));
  writeWholeFile("patch.hpl", "old contents that are longer");
  ASSERT_TRUE(update::downloadFile((server.baseUrl() + "/patch.hpl").c_str(), "patch.hpl"));
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
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(update::downloadFile((server.baseUrl() + GetParam().path).c_str(), "kept.rar"));
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("The download failed: the server refused the file."), std::string::npos) << trace;
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
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(update::downloadFile(url.c_str(), "1.rar"));
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("The download failed: the server could not be reached"), std::string::npos) << trace;
  EXPECT_FALSE(fileExists("1.rar"));
  EXPECT_FALSE(fileExists("1.rar.part"));
}

// The temporary name is taken by a directory: nothing can be stored there.
// Linux fails to create the file; under Wine the service copies its cached
// body there, fails quietly and still reports success, and it is the flush
// of the stored file before the download counts as whole that notices.
TEST_F(DownloadTest, ATemporaryNameTakenByADirectoryIsAFailedDownload) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishFile("12.rar", pattern(4096));
  writeWholeFile("12.rar", "the good file");
  fs::create_directories(fs::path("12.rar.part") / "in-the-way");
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(update::downloadFile((server.baseUrl() + "/12.rar").c_str(), "12.rar"));
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(readWholeFile("12.rar"), "the good file");
  EXPECT_TRUE(fs::is_directory(fs::path("12.rar.part") / "in-the-way"));
#if defined(_WIN32)
  // The service fails quietly there; which check notices depends on how
  // much of the file it left.
  EXPECT_NE(trace.find("The download failed: "), std::string::npos) << trace;
#else
  // The system's own reason follows the failure's text.
  EXPECT_NE(trace.find("The download failed: the local file could not be written: Is a directory."), std::string::npos)
      << trace;
#endif
}

// Starts a slow download of a large file on another thread and, once part of
// it has arrived, does something to the server. Returns the download's result.
template <class Interfere>
bool downloadWhileInterfering(PatchServer& server, const std::string& local, Interfere interfere) {
  server.publishFile("big.rar", pattern(8 * 1024 * 1024));
  std::string url = server.baseUrl() + "/big.rar";
  std::atomic<int> result{-1};
  std::thread transfer([&] { result = update::downloadFile(url.c_str(), local.c_str()) ? 1 : 0; });
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
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(downloadWhileInterfering(server, "big.rar", [&] { server.nginx().kill(); }));
  std::string trace = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(trace.find("The download failed: the transfer was cut"), std::string::npos) << trace;
  EXPECT_EQ(readWholeFile("big.rar"), "the good file");
  EXPECT_FALSE(fileExists("big.rar.part"));
}

TEST_F(DownloadTest, ATransferThatStallsIsAbandoned) {
  NginxOptions options;
  options.limitRate = 512 * 1024;
  PatchServer server(options);
  ASSERT_TRUE(server.start()) << server.nginx().why();
  platform::DownloadLimits limits = platform::kDefaultDownloadLimits;
  limits.stallMs = 1500;
  platform::setDownloadLimits(limits);
  ::testing::internal::CaptureStdout();
  auto started = std::chrono::steady_clock::now();
  EXPECT_FALSE(downloadWhileInterfering(server, "big.rar", [&] { server.nginx().pause(); }));
  auto took = std::chrono::steady_clock::now() - started;
  std::string trace = ::testing::internal::GetCapturedStdout();
  server.nginx().resume();
  EXPECT_LT(took, std::chrono::seconds(60)) << "the stall limit, not the default, ended it";
  EXPECT_NE(trace.find("The download failed: the server stopped sending."), std::string::npos) << trace;
  EXPECT_FALSE(fileExists("big.rar"));
  EXPECT_FALSE(fileExists("big.rar.part"));
}

// A server that keeps sending, but slowly. The stall limit stays as it is
// (a byte comes every second); the low-speed window is shortened.
struct SlowCase {
  const char* label;
  const char* location;  // how /vlm/patch/slow.rar is served
  unsigned lowSpeedWindowMs;
  bool stored;
  const char* trace;  // what the trace must hold
};

class SlowServer : public DownloadTest, public ::testing::WithParamInterface<SlowCase> {};

TEST_P(SlowServer, EndsATrickleAndKeepsASteadyTransfer) {
  NginxOptions options;
  options.extraServerConfig = std::string("location = /vlm/patch/slow.rar { ") + GetParam().location + " }";
  PatchServer server(options);
  ASSERT_TRUE(server.start()) << server.nginx().why();
  std::string body = pattern(1024 * 1024);
  server.publishFile("slow.rar", body);
  platform::DownloadLimits limits = platform::kDefaultDownloadLimits;
  limits.lowSpeedWindowMs = GetParam().lowSpeedWindowMs;
  platform::setDownloadLimits(limits);
  // Should the transfer never end, the server goes away after a while, so
  // the case fails on its trace instead of waiting for days.
  std::atomic<bool> over{false};
  std::thread guard([&] {
    for (int i = 0; i < 450 && !over; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!over) server.nginx().kill();
  });
  ::testing::internal::CaptureStdout();
  bool stored = update::downloadFile((server.baseUrl() + "/slow.rar").c_str(), "slow.rar");
  std::string trace = ::testing::internal::GetCapturedStdout();
  over = true;
  guard.join();
  EXPECT_EQ(stored, GetParam().stored) << trace;
  EXPECT_NE(trace.find(GetParam().trace), std::string::npos) << trace;
  if (GetParam().stored) {
    EXPECT_EQ(readWholeFile("slow.rar"), body);
  } else {
    EXPECT_FALSE(fileExists("slow.rar"));
  }
  EXPECT_FALSE(fileExists("slow.rar.part"));
}

INSTANTIATE_TEST_SUITE_P(LowSpeed, SlowServer,
                         ::testing::Values(
                             // A few KiB at once, then one byte a second: never a stall.
                             SlowCase{"Trickle", "limit_rate_after 4k; limit_rate 1;", 2000, false,
                                      "The download failed: the transfer was too slow."},
                             // Well above the limit for several windows.
                             SlowCase{"Steady", "limit_rate 256k;", 1000, true, "Starting download of: "}),
                         [](const ::testing::TestParamInfo<SlowCase>& p) { return p.param.label; });

// A gzip file holding bytes as they stand (deflate's stored blocks), as
// "gzip" would make it; nginx's gzip_static sends it with its own length.
std::uint32_t crc32Of(const std::string& bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::string storedGzip(const std::string& bytes) {
  auto little = [](std::string& out, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
  };
  std::string out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
  std::size_t at = 0;
  do {
    std::size_t length = std::min<std::size_t>(bytes.size() - at, 65535);
    bool last = at + length == bytes.size();
    out += static_cast<char>(last ? 1 : 0);
    little(out, static_cast<std::uint32_t>(length), 2);
    little(out, static_cast<std::uint32_t>(~length & 0xFFFF), 2);
    out.append(bytes, at, length);
    at += length;
  } while (at < bytes.size());
  little(out, crc32Of(bytes), 4);
  little(out, static_cast<std::uint32_t>(bytes.size()), 4);
  return out;
}

// A server that compresses for a client that asks (the Windows service
// does, with Accept-Encoding: gzip, deflate): the file must still arrive as
// it is published, whether compressed on the fly (no length sent) or sent
// precompressed with the length of the compressed body.
struct CompressedCase {
  const char* label;
  bool precompressed;
};

class CompressedAnswer : public DownloadTest, public ::testing::WithParamInterface<CompressedCase> {};

TEST_P(CompressedAnswer, StoresThePublishedBytes) {
  NginxOptions options;
  options.extraServerConfig =
      "gzip on; gzip_types application/octet-stream; gzip_min_length 1; gzip_static on; gzip_vary on;";
  PatchServer server(options);
  ASSERT_TRUE(server.start()) << server.nginx().why();
  std::string body = pattern(300 * 1024 + 5);
  server.publishFile("12.rar", body);
  if (GetParam().precompressed) server.publishFile("12.rar.gz", storedGzip(body));
  ::testing::internal::CaptureStdout();
  bool stored = update::downloadFile((server.baseUrl() + "/12.rar").c_str(), "12.rar");
  std::string trace = ::testing::internal::GetCapturedStdout();
  ASSERT_TRUE(stored) << trace;
  EXPECT_EQ(readWholeFile("12.rar"), body);
  EXPECT_FALSE(fileExists("12.rar.part"));
}

INSTANTIATE_TEST_SUITE_P(Gzip, CompressedAnswer,
                         ::testing::Values(CompressedCase{"OnTheFly", false}, CompressedCase{"Precompressed", true}),
                         [](const ::testing::TestParamInfo<CompressedCase>& p) { return p.param.label; });

TEST_F(DownloadTest, StatusLineNamesTheFileRelativeToTheLauncher) {
  PatchServer server;
  ASSERT_TRUE(server.start()) << server.nginx().why();
  server.publishFile("7.rar", "seven");
  // A unique name beside the test binary, since several cases run at once.
  std::string name = "dl-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".rar";
  std::string local = core::exeDirectory() + "\\" + name;
  ASSERT_TRUE(update::downloadFile((server.baseUrl() + "/7.rar").c_str(), local.c_str()));
  EXPECT_EQ(std::string(core::displayState.statusText), "Downloading file 'patch_" + name + "'...");
  std::error_code ignored;
  fs::remove(fs::path(core::exeDirectory()) / name, ignored);
}

}  // namespace
