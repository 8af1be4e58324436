// Downloads from a server that resets a kept-alive connection when the next
// request arrives on it (support/reset_on_reuse_server.h, a stand-in: nginx
// cannot be made to do it). Many servers and proxies close idle kept-alive
// connections so, and the close can cross the launcher's next request: no
// download may fail for that.
#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "platform/download.h"
#include "support/reset_on_reuse_server.h"
#include "support/temp_dir.h"

namespace {

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 4096) & 0xFF);
  return bytes;
}

std::string describe(const ResetOnReuseTally& tally) {
  return std::to_string(tally.requests) + " requests reached the server: " + std::to_string(tally.answered) +
         " answered on a kept connection, " + std::to_string(tally.closed) + " answered and closed as asked, " +
         std::to_string(tally.reset) + " reset unanswered on a reused connection; " +
         std::to_string(tally.askedToClose) + " asked for \"Connection: close\"";
}

TEST(KeptAliveConnection, AServerThatResetsAReusedConnectionFailsNoDownload) {
  const std::string body = pattern(64 * 1024 + 3);
  ResetOnReuseServer server(body);
  ASSERT_TRUE(server.start()) << server.why();
  TempWorkDir work;
  // A launcher's run fetches one file after another from the same server.
  constexpr int kDownloads = 8;
  int failed = 0;
  std::string failures;
  for (int i = 1; i <= kDownloads; ++i) {
    std::string name = std::to_string(i) + ".rar";
    platform::Status stored =
        platform::downloadUrlToFile((server.baseUrl() + "/" + name).c_str(), name.c_str(), nullptr);
    if (!stored.ok()) {
      ++failed;
      failures += "\n  " + name + ": " + stored.reason();
    } else {
      EXPECT_EQ(readWholeFile(name), body) << name;
    }
  }
  std::string record = describe(server.tally());
  std::cout << failed << " of " << kDownloads << " downloads failed; " << record << "\n";
  EXPECT_EQ(failed, 0) << failed << " of " << kDownloads << " downloads failed:" << failures << "\n" << record;
}

}  // namespace
