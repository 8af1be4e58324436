// A patch server for tests: a real nginx serving a directory laid out as the
// launcher expects ("<root>/vlm/patch/..."), with helpers that publish the
// patch list, executables and numbered patch archives (stored RAR holding a
// patch package built with the package writer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/package_writer.h"
#include "support/nginx_server.h"
#include "tools/rar_writer/rar_writer.h"

class PatchServer {
 public:
  explicit PatchServer(NginxOptions options = NginxOptions());
  ~PatchServer();

  // Starts nginx and points the launcher code at it (VLM_PATCH_BASE_URL).
  bool start();
  NginxServer& nginx() { return nginx_; }

  // The directory behind the base URL.
  std::string patchDirectory() const;
  // The base URL "http://127.0.0.1:<port>/vlm/patch".
  std::string baseUrl() const;

  void publishFile(const std::string& name, const std::string& bytes);
  void publishPatchList(std::uint32_t latestPatch, std::uint32_t latestLauncher, std::uint32_t latestClient);
  // "<n>.rar" holding "<n>.dat", a package of that version with one item.
  void publishPatch(std::uint32_t n, std::uint16_t version, std::uint32_t key, const std::string& data);
  // "<n>.rar" with these entries as they stand.
  void publishRar(std::uint32_t n, const std::vector<RarEntrySpec>& entries);

  // How many requests for a path (e.g. "/vlm/patch/12.rar") nginx logged.
  int requestCount(const std::string& path) const;

 private:
  NginxServer nginx_;
};

// Points the launcher code at a base URL (empty: back to the build's own).
void setPatchBaseUrlForTests(const std::string& url);

// The bytes of a package of version with one type-1 item.
std::string packageBytes(std::uint16_t version, std::uint32_t key, const std::string& data);
