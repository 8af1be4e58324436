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
  update::PatchList list;
  list.latestPatch = latestPatch;
  list.of(update::kThisPlatform) = {latestLauncher, latestClient};
  publishPatchList(list);
}

void PatchServer::publishPatchList(const update::PatchList& list) {
  publishFile("patch.hpl", update::encodePatchList(list));
}

void PatchServer::publishLauncher(const std::string& bytes) { publishFile(thisFiles().launcher, bytes); }

void PatchServer::publishClient(const std::string& bytes) { publishFile(thisFiles().client, bytes); }

std::string PatchServer::served(const std::string& name) const { return (fs::path(patchDirectory()) / name).string(); }

void PatchServer::publishRar(std::uint32_t n, const std::vector<RarEntrySpec>& entries) {
  std::string path = (fs::path(patchDirectory()) / (std::to_string(n) + ".rar")).string();
  writeWholeFile(path, encodeStoredRar(entries));
}

void PatchServer::publishPatch(std::uint32_t n, std::uint16_t version, std::uint32_t key, const std::string& data) {
  publishRar(n, {{"patch\\" + std::to_string(n) + ".dat", packageBytes(version, key, data), false}});
}

int PatchServer::requestsFor(const std::string& name) const {
  std::string path = "/vlm/patch/";
  for (char c : name) path += c == ' ' ? std::string("%20") : std::string(1, c);
  return requestCount(path);
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

std::string programBytes(const update::ProgramKind& kind, const std::string& tag) {
  std::string bytes;
  if (kind.platform == update::LauncherPlatform::kWindows) {
    bytes.assign(0x40, '\0');
    bytes[0] = 'M';
    bytes[1] = 'Z';
    archive::setU32(reinterpret_cast<unsigned char*>(&bytes[0x3C]), 0x40);
    bytes += std::string("PE\0\0", 4);
    archive::putU16(bytes, kind.machine);
    bytes.append(18, '\0');  // the rest of the file header
  } else {
    const bool wide = kind.machine == update::kElfMachineX86_64 || kind.machine == update::kElfMachineAarch64;
    bytes.assign(wide ? 64 : 52, '\0');
    bytes.replace(0, 4,
                  "\x7f"
                  "ELF");
    bytes[4] = wide ? 2 : 1;  // class
    bytes[5] = 1;             // little-endian
    bytes[6] = 1;             // version
    auto* header = reinterpret_cast<unsigned char*>(&bytes[0]);
    header[16] = 2;  // an executable
    header[18] = static_cast<unsigned char>(kind.machine & 0xFF);
    header[19] = static_cast<unsigned char>(kind.machine >> 8);
    header[20] = 1;
  }
  return bytes + tag;
}

std::string programBytes(const std::string& tag) { return programBytes(update::thisProgramKind(), tag); }

update::ProgramKind otherPlatformsKind() {
  return kOtherPlatform == update::LauncherPlatform::kWindows
             ? update::ProgramKind{kOtherPlatform, update::kPeMachineI386}
             : update::ProgramKind{kOtherPlatform, update::kElfMachineX86_64};
}

std::string otherPlatformsProgram(const std::string& tag) { return programBytes(otherPlatformsKind(), tag); }
