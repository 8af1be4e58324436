#include "archive/patch_package.h"

#include <cstring>

#include "archive/byte_order.h"
#include "archive/file_reader.h"
#include "archive/package_format.h"

namespace {

// The fewest bytes an item record of this type can take: its length field,
// and a key or name length field for types that have one.
std::uint64_t smallestItemRecord(std::uint8_t type) { return itemHasKey(type) || itemHasName(type) ? 8 : 4; }

bool readU32(FileReader& reader, std::uint32_t* value) {
  unsigned char bytes[4];
  if (!readBytes(reader, bytes, 4)) return false;
  *value = getU32(bytes);
  return true;
}

bool readItems(FileReader& reader, PatchPackage& package) {
  // Every item needs a few bytes, so a count the file cannot hold is found
  // before anything is allocated for it.
  if (package.itemCount * smallestItemRecord(package.type) > bytesLeft(reader)) return false;
  package.items.resize(package.itemCount);
  for (std::size_t i = 0; i < package.itemCount; ++i) {
    PatchItem& item = package.items[i];
    if (itemHasKey(package.type)) {
      if (!readU32(reader, &item.key)) return false;
      item.key ^= itemKeyMask(i);
    }
    if (itemHasName(package.type)) {
      std::uint32_t length = 0;
      if (!readU32(reader, &length)) return false;
      length ^= itemLengthMask(i);
      char name[kMaxItemNameLength + 1] = {0};
      if (length > kMaxItemNameLength || !readBytes(reader, name, length)) return false;
      for (std::uint32_t k = 0; k < length; ++k) name[k] ^= static_cast<char>(packageTypeMask(package.seed));
      item.name = name;  // the name is text: a zero byte ends it
    }
    if (!readU32(reader, &item.dataLength)) return false;
    item.dataLength ^= itemLengthMask(i);
    item.dataOffset = reader.position;
    if (!skipBytes(reader, item.dataLength)) return false;
  }
  return true;
}

}  // namespace

// Reads the header and item records from an open file into package; the
// package keeps the file. False (file closed, package empty) when they do not
// hold together.
static bool readPackageFrom(PatchPackage& package, platform::FileHandle file) {
  if (file == platform::kNoFile) return false;
  FileReader reader;
  unsigned char header[kPackageHeaderSize];
  bool ok = startReading(reader, file) && readBytes(reader, header, sizeof header);
  if (ok) {
    package.seed = header[0];
    package.version = getU16(header + 1) ^ packageVersionMask(package.seed);
    package.type = header[3] ^ packageTypeMask(package.seed);
    package.itemCount = getU16(header + 4) ^ packageCountMask(package.seed);
    ok = readItems(reader, package);
  }
  if (!ok) {
    platform::closeFile(file);
    package = PatchPackage();
    return false;
  }
  package.file = file;
  package.reader = std::move(reader);
  return true;
}

bool readPatchItemData(const PatchPackage& package, const PatchItem& item, std::uint64_t from, void* buffer,
                       std::size_t length) {
  if (from > item.dataLength || length > item.dataLength - from) return false;
  if (length == 0) return true;
  if (length < kReaderBufferSize) {
    package.reader.position = item.dataOffset + from;
    if (!readBytes(package.reader, buffer, length)) return false;
  } else {
    std::int64_t got = platform::readFileAt(package.file, item.dataOffset + from, buffer, length);
    if (got != static_cast<std::int64_t>(length)) return false;
  }
  maskItemData(package.seed, item.dataLength, from, static_cast<unsigned char*>(buffer), length);
  return true;
}

bool readWholePatchItem(const PatchPackage& package, const PatchItem& item, std::string* data) {
  data->assign(item.dataLength, '\0');
  return readPatchItemData(package, item, 0, &(*data)[0], data->size());
}

void closePatchPackage(PatchPackage& package) {
  platform::closeFile(package.file);
  package = PatchPackage();
}

bool loadPatchPackage(PatchPackage& package, const char* path) {
  closePatchPackage(package);
  // The launcher's package must be writable: it is consumed once applied.
  return readPackageFrom(package, platform::openArchiveFile(path));
}

bool readPatchPackageOnly(PatchPackage& package, const char* path) {
  closePatchPackage(package);
  return readPackageFrom(package, platform::openFileForReading(path));
}
