// A patch package as loaded for application (byte layout in
// archive/package_format.h).
//
// The loader reads and checks every record header before any item is
// applied, but leaves the items' data in the file: applyPatchPackage streams
// it from there in bounded chunks, so a package of gigabytes never sits in
// memory. The file stays open while the package lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/file_reader.h"
#include "platform/file.h"
#include "platform/status.h"

namespace archive {

struct PatchItem {
  std::string name;  // types 3 and 4: the path (at most 259 bytes, cut at a zero byte)
  std::uint32_t key = 0;
  std::uint32_t dataLength = 0;
  std::uint64_t dataOffset = 0;  // where the item's scrambled data starts in the file
};

struct PatchPackage {
  std::uint16_t version = 0;
  std::uint16_t itemCount = 0;
  std::uint8_t type = 0;
  std::uint8_t seed = 0;
  std::vector<PatchItem> items;
  platform::File file;
  // Small reads of item data go through this buffer: the items lie one after
  // the other, so a package of many small items costs a read call per 64 KiB
  // rather than one per item.
  mutable FileReader reader;
};

// Opens the package (it must exist and be writable) and reads its header and
// item records. A failure, with the package left empty and its file closed,
// when it cannot be opened, ends early, names an item with more than 259
// bytes or gives a data length beyond the end of the file; the reason names
// the record ("item 12: data runs past the package end (4000 bytes, 12
// left)") without the file's name.
[[nodiscard]] platform::Status loadPatchPackage(PatchPackage& package, const char* path);

// loadPatchPackage for a package that is only to be looked at: the same
// checks and records, the file opened for reading alone (it may be
// read-only, and nothing else is kept from holding it).
[[nodiscard]] platform::Status loadPatchPackageReadOnly(PatchPackage& package, const char* path);

// Reads the item's data bytes [from, from + length) unscrambled.
bool readPatchItemData(const PatchPackage& package, const PatchItem& item, std::uint64_t from, void* buffer,
                       std::size_t length);

// The item's whole data, unscrambled (for small items and tests).
bool readWholePatchItem(const PatchPackage& package, const PatchItem& item, std::string* data);

// Closes the package's file and forgets its items.
void closePatchPackage(PatchPackage& package);

}  // namespace archive
