// Building, reading and packing patch packages for the operator.
#pragma once

#include <cstdint>
#include <string>

#include "archive/patch_package.h"
#include "tools/vlm_patch/manifest.h"

namespace vlmpatch {

struct PackageSummary {
  std::uint8_t seed = 0;
  std::uint64_t bytes = 0;
};

// Reads and parses a manifest file.
bool readManifestFile(const std::string& path, Manifest* manifest, std::string* error);
// The directory that relative source files of a manifest are read from.
std::string manifestDirectory(const std::string& manifestPath);

// Writes the package the manifest describes (its version must be set) to
// outPath, streaming each source file; chooses a seed when none is given.
// On failure nothing is left at outPath.
bool buildPackageFile(const Manifest& manifest, const std::string& baseDir, const std::string& outPath,
                      PackageSummary* summary, std::string* error);

// Reads a package's header and items without changing the file.
bool readPackageForShow(const std::string& path, archive::PatchPackage* package, std::string* error);

// Writes a RAR archive at outPath holding the package file as entryName.
bool packPackageFile(const std::string& packagePath, const std::string& entryName, const std::string& outPath,
                     std::string* error);

}  // namespace vlmpatch
