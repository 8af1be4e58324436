// Builds patch packages (the inverse of loadPatchPackage; layout in
// archive/package_format.h): for tests, benchmarks and the operator's tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/file.h"

namespace archive {

struct PackageItemSpec {
  std::uint32_t key = 0;
  std::string name;
  std::string data;
};

struct PatchPackageSpec {
  std::uint8_t seed = 0;
  std::uint16_t version = 0;
  std::uint8_t type = 1;
  std::vector<PackageItemSpec> items;
};

// The package's bytes. Keys are written for types 1 and 2, names for 3 and 4.
std::string encodePatchPackage(const PatchPackageSpec& spec);

// Writes encodePatchPackage's bytes as the file at path; true when all were written.
bool writePatchPackageFile(const char* path, const PatchPackageSpec& spec);

// Writing a package item by item with the data supplied in pieces, for
// packages too large to build in memory. The header states itemCount up
// front; finishPackageFile fails unless that many items were added.
struct PackageFileWriter {
  platform::File file;
  std::uint64_t written = 0;  // bytes already in the file
  std::string pending;        // bytes not yet written
  std::uint8_t seed = 0;
  std::uint16_t version = 0;
  std::uint8_t type = 1;
  std::uint16_t itemCount = 0;
  std::uint32_t itemsAdded = 0;
  bool ok = false;
};

// Fills length plain data bytes starting at byte `from` of the item.
using PlainDataSource = std::function<void(std::uint64_t from, char* buffer, std::size_t length)>;

bool beginPackageFile(PackageFileWriter& writer, const char* path, std::uint8_t seed, std::uint16_t version,
                      std::uint8_t type, std::uint16_t itemCount);
bool addPackageItem(PackageFileWriter& writer, std::uint32_t key, const std::string& name, std::uint32_t dataLength,
                    const PlainDataSource& fill);
// For a package whose item count was not known when it was begun: makes the
// header state the count of the items added so far.
bool restatePackageItemCount(PackageFileWriter& writer);
// Writes what is pending and closes the file; true when every step succeeded.
bool finishPackageFile(PackageFileWriter& writer);

}  // namespace archive
