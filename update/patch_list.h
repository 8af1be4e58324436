// The patch list "patch.hpl", which the patch server publishes and every
// launcher fetches at every run: the latest patch number and, for each
// platform, the launcher and client versions it publishes. Little-endian
// u32s, no header, no checksum:
//
//    0  latestPatch
//    4  Windows launcher version
//    8  Windows client version
//   12  Linux launcher version
//   16  Linux client version
//
// Windows launchers read the first 12 bytes and ignore the rest, as they
// always have; Linux launchers read latestPatch and the Linux versions. A
// list that ends early publishes no version past its end: a field it does
// not hold keeps the value it had (0 on a first pass), so a list of 12 bytes
// publishes no Linux launcher or client.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "update/server_files.h"

namespace update {

constexpr std::size_t kPatchListBytes = 12;      // what a Windows launcher reads
constexpr std::size_t kFullPatchListBytes = 20;  // every field

struct PublishedVersions {
  std::uint32_t launcher = 0;
  std::uint32_t client = 0;
};

struct PatchList {
  std::uint32_t latestPatch = 0;
  std::array<PublishedVersions, kLauncherPlatformCount> platforms{};

  PublishedVersions& of(LauncherPlatform platform) { return platforms[static_cast<std::size_t>(platform)]; }
  const PublishedVersions& of(LauncherPlatform platform) const { return platforms[static_cast<std::size_t>(platform)]; }
};

// Sets the fields that the first `size` bytes hold whole; the others keep
// their values. Bytes past the last field are ignored.
void decodePatchList(const unsigned char* bytes, std::size_t size, PatchList* list);
// All 20 bytes.
std::string encodePatchList(const PatchList& list);

}  // namespace update
