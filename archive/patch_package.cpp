#include "archive/patch_package.h"

#include <cstring>
#include <string>
#include <utility>

#include "archive/byte_order.h"
#include "archive/file_reader.h"
#include "archive/package_format.h"

namespace archive {

namespace {

using platform::Status;

Status readItemField(FileReader& reader, const char* what, unsigned char (&field)[kItemFieldSize]) {
  return readPart(reader, field, sizeof field, what);
}

// Reads item record i's fields and steps over its data.
Status readItem(FileReader& reader, const PatchPackage& package, std::size_t i, PatchItem& item) {
  unsigned char field[kItemFieldSize];
  Status read;
  if (itemHasKey(package.type)) {
    if (!(read = readItemField(reader, "the key", field)).ok()) return read;
    item.key = decodeItemKey(field, i);
  }
  if (itemHasName(package.type)) {
    if (!(read = readItemField(reader, "the name length", field)).ok()) return read;
    std::uint32_t length = decodeItemLength(field, i);
    if (length > kMaxItemNameLength) {
      return Status::failure("name length " + std::to_string(length) + " above " + std::to_string(kMaxItemNameLength));
    }
    char name[kMaxItemNameLength];
    if (!(read = readPart(reader, name, length, "the name")).ok()) return read;
    item.name = decodeItemName(package.seed, name, length);
  }
  if (!(read = readItemField(reader, "the data length", field)).ok()) return read;
  item.dataLength = decodeItemLength(field, i);
  item.dataOffset = reader.position;
  if (item.dataLength > bytesLeft(reader)) {
    return Status::failure("data runs past the package end (" + std::to_string(item.dataLength) + " bytes, " +
                           std::to_string(bytesLeft(reader)) + " left)");
  }
  skipBytes(reader, item.dataLength);  // checked just above
  return Status();
}

Status readItems(FileReader& reader, PatchPackage& package) {
  // Every item needs a few bytes, so a count the file cannot hold is found
  // before anything is allocated for it.
  std::uint64_t least = package.itemCount * smallestItemRecord(package.type);
  if (least > bytesLeft(reader)) {
    return Status::failure(std::to_string(package.itemCount) + " items need at least " + std::to_string(least) +
                           " bytes, " + std::to_string(bytesLeft(reader)) + " are left");
  }
  package.items.resize(package.itemCount);
  for (std::size_t i = 0; i < package.itemCount; ++i) {
    Status read = readItem(reader, package, i, package.items[i]);
    if (!read.ok()) return read.withContext("item " + std::to_string(i));
  }
  return Status();
}

// Reads the header and item records from an open file into package; the
// package keeps the file. A failure (file closed, package empty) when they
// do not hold together.
Status readPackageFrom(PatchPackage& package, platform::File file) {
  if (!file) return Status::systemFailure("cannot be opened");
  FileReader reader;
  if (!startReading(reader, file.get())) return Status::systemFailure("its size cannot be learnt");
  unsigned char headerBytes[kPackageHeaderSize];
  Status read = readPart(reader, headerBytes, sizeof headerBytes, "the header");
  if (read.ok()) {
    PackageHeader header = decodePackageHeader(headerBytes);
    package.seed = header.seed;
    package.version = header.version;
    package.type = header.type;
    package.itemCount = header.itemCount;
    read = readItems(reader, package);
  }
  if (!read.ok()) {
    package = PatchPackage();
    return read;
  }
  package.file = std::move(file);
  package.reader = std::move(reader);
  return Status();
}

}  // namespace

bool readPatchItemData(const PatchPackage& package, const PatchItem& item, std::uint64_t from, void* buffer,
                       std::size_t length) {
  if (from > item.dataLength || length > item.dataLength - from) return false;
  if (length == 0) return true;
  if (length < kReaderBufferSize) {
    package.reader.position = item.dataOffset + from;
    if (!readBytes(package.reader, buffer, length)) return false;
  } else {
    std::int64_t got = platform::readFileAt(package.file.get(), item.dataOffset + from, buffer, length);
    if (got != static_cast<std::int64_t>(length)) return false;
  }
  maskItemData(package.seed, item.dataLength, from, static_cast<unsigned char*>(buffer), length);
  return true;
}

bool readWholePatchItem(const PatchPackage& package, const PatchItem& item, std::string* data) {
  data->assign(item.dataLength, '\0');
  return readPatchItemData(package, item, 0, &(*data)[0], data->size());
}

void closePatchPackage(PatchPackage& package) { package = PatchPackage(); }

platform::Status loadPatchPackage(PatchPackage& package, const char* path) {
  closePatchPackage(package);
  // The launcher's package must be writable: it is consumed once applied.
  return readPackageFrom(package, platform::File(platform::openFileForExclusiveUpdate(path)));
}

platform::Status loadPatchPackageReadOnly(PatchPackage& package, const char* path) {
  closePatchPackage(package);
  return readPackageFrom(package, platform::File(platform::openFileForReading(path)));
}

}  // namespace archive
