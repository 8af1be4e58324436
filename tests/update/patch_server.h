// A patch server for tests: a real nginx serving a directory laid out as the
// launcher expects ("<root>/vlm/patch/..."), with helpers that publish the
// patch list, executables and numbered patch archives (stored RAR holding a
// patch package built with the package writer). The launcher and client
// helpers publish for the platform of the launcher under test
// (update/server_files.h): its names, and its versions in the patch list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "archive/package_writer.h"
#include "support/nginx_server.h"
#include "tools/rar_writer/rar_writer.h"
#include "update/patch_list.h"
#include "update/program_kind.h"
#include "update/server_files.h"

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
  // The whole list, 20 bytes: latestPatch and these versions for this
  // launcher's platform; the other platform's are 0.
  void publishPatchList(std::uint32_t latestPatch, std::uint32_t latestLauncher, std::uint32_t latestClient);
  // The whole list as given.
  void publishPatchList(const update::PatchList& list);
  // This platform's launcher and client under their server names.
  void publishLauncher(const std::string& bytes);
  void publishClient(const std::string& bytes);
  // A file the server holds, as a path.
  std::string served(const std::string& name) const;
  // "<n>.rar" holding "<n>.dat", a package of that version with one item.
  void publishPatch(std::uint32_t n, std::uint16_t version, std::uint32_t key, const std::string& data);
  // "<n>.rar" with these entries as they stand.
  void publishRar(std::uint32_t n, const std::vector<RarEntrySpec>& entries);

  // How many requests for a path (e.g. "/vlm/patch/12.rar") nginx logged.
  int requestCount(const std::string& path) const;
  // The same for a file of the patch directory by its name ("Start VLM.exe":
  // the request's path escapes the blank).
  int requestsFor(const std::string& name) const;

 private:
  NginxServer nginx_;
};

// Points the launcher code at a base URL (empty: back to the build's own).
void setPatchBaseUrlForTests(const std::string& url);

// The bytes of a package of version with one type-1 item.
std::string packageBytes(std::uint16_t version, std::uint32_t key, const std::string& data);

// The platform of the launcher under test, the other one, and their files.
constexpr update::LauncherPlatform kOtherPlatform = update::kThisPlatform == update::LauncherPlatform::kLinux
                                                        ? update::LauncherPlatform::kWindows
                                                        : update::LauncherPlatform::kLinux;
inline const update::PlatformFiles& thisFiles() { return update::thisPlatformFiles(); }
inline const update::PlatformFiles& otherFiles() { return update::filesOf(kOtherPlatform); }

// The bytes of a program of that kind: the headers update::programKindOf
// reads it by (a PE header at 0x40 behind a DOS header; a little-endian ELF
// header), then tag, so that programs of one kind differ. Not runnable.
std::string programBytes(const update::ProgramKind& kind, const std::string& tag);
// A program for this system (update::thisProgramKind()).
std::string programBytes(const std::string& tag);
// The other platform's programs, for the machine its launchers are built
// for here (Windows: i386; Linux: x86-64), and one of them.
update::ProgramKind otherPlatformsKind();
std::string otherPlatformsProgram(const std::string& tag);
