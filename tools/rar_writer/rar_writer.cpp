#include "tools/rar_writer/rar_writer.h"

#include <cstdio>

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

std::string encodeStoredRar(const std::vector<RarEntrySpec>& entries) {
  std::string out("Rar!\x1A\x07\x00", 7);
  std::string main;
  main += '\x73';
  put16(main, 0);
  put16(main, 13);
  main.append(6, '\0');
  putHeader(out, main);

  for (const RarEntrySpec& entry : entries) {
    const std::string& data = entry.directory ? std::string() : entry.data;
    if (entry.name.size() > 0xFFFF - 32 || data.size() >= 0xFFFFFFFFu) return std::string();
    std::uint32_t size = static_cast<std::uint32_t>(data.size());
    std::string body;
    body += '\x74';
    put16(body, 0x8000u | (entry.directory ? 0x00E0u : 0u));
    put16(body, static_cast<std::uint32_t>(32 + entry.name.size()));
    put32(body, size);  // PACK_SIZE
    put32(body, size);  // UNP_SIZE
    body += '\x02';     // HOST_OS: Windows
    put32(body, rarCrc32(data.data(), data.size()));
    put32(body, kDosTime1980);
    body += static_cast<char>(20);  // UNP_VER 2.0
    body += '\x30';                 // METHOD: stored
    put16(body, static_cast<std::uint32_t>(entry.name.size()));
    put32(body, entry.directory ? 0x10 : 0x20);
    body += entry.name;
    putHeader(out, body);
    out += data;
  }

  std::string end;
  end += '\x7B';
  put16(end, 0x4000);
  put16(end, 7);
  putHeader(out, end);
  return out;
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
