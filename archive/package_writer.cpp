#include "archive/package_writer.h"

#include "archive/byte_order.h"
#include "archive/package_format.h"

namespace archive {

namespace {

constexpr std::size_t kWriteChunk = 1 << 20;

void appendHeader(std::string& out, std::uint8_t seed, std::uint16_t version, std::uint8_t type,
                  std::uint16_t itemCount) {
  appendPackageHeader(out, PackageHeader{seed, version, type, itemCount});
}

bool writePending(PackageFileWriter& writer, bool force) {
  if (!writer.ok || writer.pending.empty() || (!force && writer.pending.size() < kWriteChunk)) return writer.ok;
  writer.ok =
      platform::writeFileAt(writer.file.get(), writer.written, writer.pending.data(), writer.pending.size()).ok();
  writer.written += writer.pending.size();
  writer.pending.clear();
  return writer.ok;
}

}  // namespace

std::string encodePatchPackage(const PatchPackageSpec& spec) {
  std::string out;
  appendHeader(out, spec.seed, spec.version, spec.type, static_cast<std::uint16_t>(spec.items.size()));
  for (std::size_t i = 0; i < spec.items.size(); ++i) {
    const PackageItemSpec& item = spec.items[i];
    std::uint32_t length = static_cast<std::uint32_t>(item.data.size());
    appendItemHead(out, spec.seed, spec.type, i, item.key, item.name, length);
    std::size_t start = out.size();
    out.append(item.data);
    maskItemData(spec.seed, length, 0, reinterpret_cast<unsigned char*>(&out[start]), item.data.size());
  }
  return out;
}

bool writePatchPackageFile(const char* path, const PatchPackageSpec& spec) {
  std::string bytes = encodePatchPackage(spec);
  platform::File file(platform::createFile(path));
  return file && platform::writeFileAt(file.get(), 0, bytes.data(), bytes.size());
}

bool beginPackageFile(PackageFileWriter& writer, const char* path, std::uint8_t seed, std::uint16_t version,
                      std::uint8_t type, std::uint16_t itemCount) {
  writer = PackageFileWriter();
  writer.file.reset(platform::createFile(path));
  writer.ok = writer.file.isOpen();
  writer.seed = seed;
  writer.version = version;
  writer.type = type;
  writer.itemCount = itemCount;
  writer.pending.reserve(kWriteChunk * 2);
  appendHeader(writer.pending, seed, version, type, itemCount);
  return writer.ok;
}

bool addPackageItem(PackageFileWriter& writer, std::uint32_t key, const std::string& name, std::uint32_t dataLength,
                    const PlainDataSource& fill) {
  if (!writer.ok) return false;
  appendItemHead(writer.pending, writer.seed, writer.type, writer.itemsAdded, key, name, dataLength);
  for (std::uint64_t done = 0; done < dataLength;) {
    std::size_t length = static_cast<std::size_t>(dataLength - done < kWriteChunk ? dataLength - done : kWriteChunk);
    std::size_t start = writer.pending.size();
    writer.pending.resize(start + length);
    fill(done, &writer.pending[start], length);
    maskItemData(writer.seed, dataLength, done, reinterpret_cast<unsigned char*>(&writer.pending[start]), length);
    done += length;
    if (!writePending(writer, false)) return false;
  }
  ++writer.itemsAdded;
  return writePending(writer, false);
}

bool restatePackageItemCount(PackageFileWriter& writer) {
  if (!writer.ok || writer.itemsAdded > 0xFFFF) {
    writer.ok = false;
    return false;
  }
  writer.itemCount = static_cast<std::uint16_t>(writer.itemsAdded);
  std::string header;
  appendHeader(header, writer.seed, writer.version, writer.type, writer.itemCount);
  if (writer.written == 0) {
    writer.pending.replace(0, header.size(), header);
    return true;
  }
  writer.ok = platform::writeFileAt(writer.file.get(), 0, header.data(), header.size()).ok();
  return writer.ok;
}

bool finishPackageFile(PackageFileWriter& writer) {
  bool ok = writePending(writer, true) && writer.itemsAdded == writer.itemCount;
  writer.file.reset();
  writer.ok = false;
  return ok;
}

}  // namespace archive
