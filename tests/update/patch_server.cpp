#include "patch_server.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "archive/byte_order.h"
#include "support/temp_dir.h"
#include "update/versions.h"

namespace fs = std::filesystem;

void setPatchBaseUrlForTests(const std::string& url) {
#if defined(_WIN32)
  _putenv_s("VLM_PATCH_BASE_URL", url.c_str());
#else
  if (url.empty()) {
    unsetenv("VLM_PATCH_BASE_URL");
  } else {
    setenv("VLM_PATCH_BASE_URL", url.c_str(), 1);
  }
#endif
}

std::string packageBytes(std::uint16_t version, std::uint32_t key, const std::string& data) {
  archive::PatchPackageSpec spec;
  spec.seed = static_cast<std::uint8_t>(version * 7 + 3);
  spec.version = version;
  spec.type = 1;
  spec.items.push_back(archive::PackageItemSpec{key, "", data});
  return archive::encodePatchPackage(spec);
}

PatchServer::PatchServer(NginxOptions options) : nginx_(std::move(options)) {
  fs::create_directories(fs::path(nginx_.documentRoot()) / "vlm" / "patch");
}

PatchServer::~PatchServer() { setPatchBaseUrlForTests(""); }

bool PatchServer::start() {
  if (!nginx_.start()) return false;
  setPatchBaseUrlForTests(baseUrl());
  return true;
}

std::string PatchServer::patchDirectory() const { return (fs::path(nginx_.documentRoot()) / "vlm" / "patch").string(); }

std::string PatchServer::baseUrl() const { return nginx_.baseUrl() + "/vlm/patch"; }

void PatchServer::publishFile(const std::string& name, const std::string& bytes) {
  writeWholeFile((fs::path(patchDirectory()) / name).string(), bytes);
}

void PatchServer::publishPatchList(std::uint32_t latestPatch, std::uint32_t latestLauncher,
                                   std::uint32_t latestClient) {
  unsigned char bytes[12];
  archive::setU32(bytes, latestPatch);
  archive::setU32(bytes + 4, latestLauncher);
  archive::setU32(bytes + 8, latestClient);
  publishFile("patch.hpl", std::string(reinterpret_cast<char*>(bytes), sizeof bytes));
}

void PatchServer::publishRar(std::uint32_t n, const std::vector<RarEntrySpec>& entries) {
  std::string path = (fs::path(patchDirectory()) / (std::to_string(n) + ".rar")).string();
  writeWholeFile(path, encodeStoredRar(entries));
}

void PatchServer::publishPatch(std::uint32_t n, std::uint16_t version, std::uint32_t key, const std::string& data) {
  publishRar(n, {{"patch\\" + std::to_string(n) + ".dat", packageBytes(version, key, data), false}});
}

int PatchServer::requestCount(const std::string& path) const {
  std::ifstream log(fs::path(nginx_.prefix()) / "access.log");
  std::string line;
  int count = 0;
  std::string needle = "GET " + path + " ";
  while (std::getline(log, line)) {
    if (line.find(needle) != std::string::npos) ++count;
  }
  return count;
}
