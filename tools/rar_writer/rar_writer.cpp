#include "tools/rar_writer/rar_writer.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "platform/file.h"

std::uint32_t rarCrc32(const void* data, std::size_t size, std::uint32_t crc) {
  static const auto table = [] {
    std::vector<std::uint32_t> t(256);
    for (std::uint32_t i = 0; i < 256; ++i) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      t[i] = c;
    }
    return t;
  }();
  const unsigned char* p = static_cast<const unsigned char*>(data);
  crc = ~crc;
  for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

static void put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
static void put32(std::string& out, std::uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// A whole header: its CRC in front of body, which starts at HEAD_TYPE.
static void putHeader(std::string& out, const std::string& body) {
  put16(out, rarCrc32(body.data(), body.size()) & 0xFFFF);
  out += body;
}

constexpr std::uint32_t kDosTime1980 = 0x00210000;  // 1 January 1980, 00:00

// The marker and the main header that open every archive.
static std::string archiveStart() {
  std::string out("Rar!\x1A\x07\x00", 7);
  std::string main;
  main += '\x73';
  put16(main, 0);
  put16(main, 13);
  main.append(6, '\0');
  putHeader(out, main);
  return out;
}

// The file header of one entry whose data (size bytes, CRC-32 crc) follows it.
static std::string entryHeader(const std::string& name, bool directory, std::uint32_t size, std::uint32_t crc) {
  std::string body;
  body += '\x74';
  put16(body, 0x8000u | (directory ? 0x00E0u : 0u));
  put16(body, static_cast<std::uint32_t>(32 + name.size()));
  put32(body, size);  // PACK_SIZE
  put32(body, size);  // UNP_SIZE
  body += '\x02';     // HOST_OS: Windows
  put32(body, crc);
  put32(body, kDosTime1980);
  body += static_cast<char>(20);  // UNP_VER 2.0
  body += '\x30';                 // METHOD: stored
  put16(body, static_cast<std::uint32_t>(name.size()));
  put32(body, directory ? 0x10 : 0x20);
  body += name;
  std::string out;
  putHeader(out, body);
  return out;
}

// The end-of-archive header.
static std::string archiveEnd() {
  std::string end;
  end += '\x7B';
  put16(end, 0x4000);
  put16(end, 7);
  std::string out;
  putHeader(out, end);
  return out;
}

static bool storable(const std::string& name, std::uint64_t size) {
  return name.size() <= 0xFFFF - 32 && size <= kMaxStoredRarEntryBytes;
}

std::string encodeStoredRar(const std::vector<RarEntrySpec>& entries) {
  std::string out = archiveStart();
  for (const RarEntrySpec& entry : entries) {
    const std::string& data = entry.directory ? std::string() : entry.data;
    if (!storable(entry.name, data.size())) return std::string();
    out += entryHeader(entry.name, entry.directory, static_cast<std::uint32_t>(data.size()),
                       rarCrc32(data.data(), data.size()));
    out += data;
  }
  out += archiveEnd();
  return out;
}

bool writeStoredRarFromFile(const char* path, const std::string& entryName, const char* source) {
  platform::File in(platform::openFileForReading(source));
  std::uint64_t size = 0;
  if (!in || !platform::getFileSize(in.get(), &size) || !storable(entryName, size)) return false;
  // The CRC comes first in the header, so the file is read twice: once for
  // the CRC, once to copy it; memory stays at one chunk either way.
  std::vector<char> chunk(1 << 20);
  std::uint32_t crc = 0;
  bool ok = true;
  for (std::uint64_t done = 0; ok && done < size;) {
    std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - done));
    ok = platform::readFileAt(in.get(), done, chunk.data(), length) == static_cast<std::int64_t>(length);
    crc = rarCrc32(chunk.data(), length, crc);
    done += length;
  }
  platform::File out(ok ? platform::createFile(path) : platform::kNoFile);
  const bool created = out.isOpen();
  std::string head = archiveStart() + entryHeader(entryName, false, static_cast<std::uint32_t>(size), crc);
  ok = created && platform::writeFileAt(out.get(), 0, head.data(), head.size());
  std::uint64_t at = head.size();
  for (std::uint64_t done = 0; ok && done < size;) {
    std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), size - done));
    ok = platform::readFileAt(in.get(), done, chunk.data(), length) == static_cast<std::int64_t>(length) &&
         platform::writeFileAt(out.get(), at, chunk.data(), length);
    done += length;
    at += length;
  }
  std::string tail = archiveEnd();
  ok = ok && platform::writeFileAt(out.get(), at, tail.data(), tail.size());
  out.reset();  // closed before a failed archive is deleted
  if (!ok && created) platform::deleteFile(path);
  return ok;
}

bool writeStoredRar(const char* path, const std::vector<RarEntrySpec>& entries) {
  std::string bytes = encodeStoredRar(entries);
  if (bytes.empty()) return false;
  std::FILE* file = platform::openStdioFile(path, "wb");
  if (!file) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0) ok = false;
  return ok;
}
