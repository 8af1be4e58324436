// downloadFile against the curl command-line tool: the same 512 MiB file from
// the same nginx on loopback, in the same run. Prints both times, both rates
// and the ratio (ours / curl; the goal is at most 1.1).
//
// Usage: download_bench [MiB]   (default 512)
// It starts its own nginx (the tests' harness, tests/support/nginx_server.h) in a temporary
// directory and removes everything afterwards.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/nginx_server.h"
#include "update/download.h"

namespace fs = std::filesystem;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool writeTestFile(const fs::path& path, std::uint64_t bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::vector<char> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (std::uint64_t written = 0; written < bytes; written += block.size()) {
    block[0] = static_cast<char>(written >> 20);
    out.write(block.data(), static_cast<std::streamsize>(block.size()));
  }
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 512;
  NginxServer server;
  fs::path served = fs::path(server.documentRoot()) / "big.rar";
  if (!writeTestFile(served, mib << 20)) {
    std::fprintf(stderr, "cannot write the test file\n");
    return 1;
  }
  if (!server.start()) {
    std::fprintf(stderr, "nginx did not start: %s\n", server.why().c_str());
    return 1;
  }
  std::string url = server.baseUrl() + "/big.rar";
  fs::path out = fs::path(server.prefix()) / "out.bin";
  std::string curlCommand = "curl -s -f -o '" + out.string() + "' '" + url + "'";

  // One round of each first, so both find the file in the page cache.
  std::system(curlCommand.c_str());
  fs::remove(out);

  const int rounds = 3;
  double ours = 1e30, theirs = 1e30;
  for (int round = 0; round < rounds; ++round) {
    auto start = std::chrono::steady_clock::now();
    bool ok = update::downloadFile(url.c_str(), out.string().c_str());
    double t = secondsSince(start);
    if (!ok || fs::file_size(out) != (mib << 20)) {
      std::fprintf(stderr, "downloadFile failed\n");
      return 1;
    }
    fs::remove(out);
    if (t < ours) ours = t;

    start = std::chrono::steady_clock::now();
    int status = std::system(curlCommand.c_str());
    t = secondsSince(start);
    if (status != 0) {
      std::fprintf(stderr, "curl failed\n");
      return 1;
    }
    fs::remove(out);
    if (t < theirs) theirs = t;
  }
  double size = static_cast<double>(mib);
  std::printf("file: %llu MiB from nginx on loopback, best of %d rounds each\n", static_cast<unsigned long long>(mib),
              rounds);
  std::printf("downloadFile: %.3f s  %.1f MiB/s\n", ours, size / ours);
  std::printf("curl (tool):  %.3f s  %.1f MiB/s\n", theirs, size / theirs);
  std::printf("ratio downloadFile / curl: %.3f (goal <= 1.1)\n", ours / theirs);
  return 0;
}
