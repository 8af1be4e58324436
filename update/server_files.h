// The files a patch server publishes for each platform's launcher.
//
// Windows launchers fetch the names they have always fetched; Linux
// launchers fetch names of their own, so that neither ever takes the other's
// program. The numbered patches, their blocks ("release-%u.blk") and the
// patch list "patch.hpl" are shared: the game data is the same on both.
//
//   platform  launcher        client       signed record
//   windows   "Start VLM.exe" "Kelda.exe"  "release.rec"
//   linux     "start-vlm"     "Kelda"      "release-linux.rec"
//
// A platform's client is installed beside the launcher under the same name
// it has on the server. Both records have the layout of
// update/release_record.h; a platform's record names that platform's
// launcher and client, with the versions the patch list publishes for it
// (update/patch_list.h), and the same patches, sequence and expiry as the
// other.
#pragma once

#include <cstddef>

namespace update {

enum class LauncherPlatform { kWindows = 0, kLinux = 1 };
constexpr std::size_t kLauncherPlatformCount = 2;

struct PlatformFiles {
  LauncherPlatform platform;
  const char* name;      // "windows", "linux": in traces and the tool's output
  const char* launcher;  // the launcher on the server
  const char* client;    // the client on the server and beside the launcher
  const char* record;    // the signed release record
};

constexpr PlatformFiles kPlatformFiles[kLauncherPlatformCount] = {
    {LauncherPlatform::kWindows, "windows", "Start VLM.exe", "Kelda.exe", "release.rec"},
    {LauncherPlatform::kLinux, "linux", "start-vlm", "Kelda", "release-linux.rec"},
};

constexpr const PlatformFiles& filesOf(LauncherPlatform platform) {
  return kPlatformFiles[static_cast<std::size_t>(platform)];
}

// The platform this launcher was built for.
#if defined(_WIN32)
constexpr LauncherPlatform kThisPlatform = LauncherPlatform::kWindows;
#else
constexpr LauncherPlatform kThisPlatform = LauncherPlatform::kLinux;
#endif
constexpr const PlatformFiles& thisPlatformFiles() { return filesOf(kThisPlatform); }

}  // namespace update
