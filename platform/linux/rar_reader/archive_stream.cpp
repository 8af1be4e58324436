// The contained reader's work: reads a RAR archive with libarchive from a
// descriptor and writes the stream of platform/linux/rar_reader/protocol.h.
//
// Every file entry's data is checked against the CRC-32 and the size in its
// own header, as the UnRAR library does: libarchive leaves that check out
// for stored entries, so the reader finds each entry's header itself with a
// small parser that never trusts a length (RAR 4: always a CRC-32; RAR 5:
// when the header carries one). An archive with anything before its
// signature (a self-extracting one) cannot be checked and is refused.
#include "platform/linux/rar_reader/archive_stream.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/rar_reader/protocol.h"
#include "platform/rar.h"

namespace platform {

namespace {

// CRC-32 (IEEE, reflected), as RAR keeps it for every file: zlib's, which
// libarchive brings along anyway and which is several times faster than a
// byte-wise table.
std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  uLong value = crc;
  while (size > 0) {
    uInt piece = size > (1u << 30) ? (1u << 30) : static_cast<uInt>(size);
    value = ::crc32(value, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<std::uint32_t>(value);
}

// What the header of one file entry says about its data.
struct EntryChecksum {
  bool located = false;  // the entry's own header was found and read
  bool hasCrc = false;   // it carries a CRC-32 of the unpacked data
  std::uint32_t crc = 0;
  bool sizeKnown = false;
  std::uint64_t unpackedSize = 0;
};

// One block of the archive as far as the walk needs it.
struct Block {
  bool isFile = false;
  std::uint64_t next = 0;  // where the block after it begins
  EntryChecksum checksum;  // of a file block
};

enum class RarFormat { kUnknown, kRar4, kRar5 };

constexpr std::uint64_t kRar5HeaderLimit = 2 * 1024 * 1024;  // as large as a RAR 5 header may be

// The archive file read again, at the offsets the walk asks for, through
// the descriptor the reader was given.
class RawArchive {
 public:
  explicit RawArchive(int fd) : fd_(fd) {
    struct stat status;
    if (fstat(fd_, &status) == 0 && status.st_size > 0) size_ = static_cast<std::uint64_t>(status.st_size);
  }

  std::uint64_t size() const { return size_; }
  // Up to length bytes at offset (fewer at the end of the file).
  std::vector<unsigned char> read(std::uint64_t offset, std::size_t length) const {
    std::vector<unsigned char> bytes;
    if (offset >= size_) return bytes;
    if (length > size_ - offset) length = static_cast<std::size_t>(size_ - offset);
    bytes.resize(length);
    std::size_t done = 0;
    while (done < length) {
      ssize_t got = pread(fd_, bytes.data() + done, length - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
  }

 private:
  int fd_;
  std::uint64_t size_ = 0;
};

// Little-endian reads within a byte buffer; false past its end.
struct Cursor {
  const std::vector<unsigned char>& bytes;
  std::size_t at = 0;
  bool get(std::uint64_t* value, std::size_t width) {
    if (width > bytes.size() || at > bytes.size() - width) return false;
    *value = 0;
    for (std::size_t i = 0; i < width; ++i) *value |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
    at += width;
    return true;
  }
  // A RAR 5 variable-length integer: 7 bits a byte, at most ten bytes.
  bool vint(std::uint64_t* value) {
    *value = 0;
    for (int i = 0; i < 10; ++i) {
      if (at >= bytes.size()) return false;
      unsigned char b = bytes[at++];
      if (i == 9 && (b & 0x7E) != 0) return false;  // beyond 64 bits
      *value |= static_cast<std::uint64_t>(b & 0x7F) << (7 * i);
      if ((b & 0x80) == 0) return true;
    }
    return false;
  }
};

// The end of a block of `header` bytes and `data` more at `at`, when it lies
// within the file; else the file's size plus one (no block follows).
std::uint64_t blockEnd(std::uint64_t at, std::uint64_t header, std::uint64_t data, std::uint64_t fileSize) {
  if (header > fileSize - at || data > fileSize - at - header) return fileSize + 1;
  return at + header + data;
}

// A RAR 4 block: HEAD_CRC u16, HEAD_TYPE u8, HEAD_FLAGS u16, HEAD_SIZE u16;
// file (0x74) and service (0x7A) blocks go on with PACK_SIZE u32, UNP_SIZE
// u32, HOST_OS u8, FILE_CRC u32, FTIME u32, UNP_VER u8, METHOD u8,
// NAME_SIZE u16, ATTR u32 and, with flag 0x100, HIGH_PACK_SIZE u32 and
// HIGH_UNP_SIZE u32; other blocks with flag 0x8000 carry ADD_SIZE u32.
bool readRar4Block(const RawArchive& raw, std::uint64_t at, Block* block) {
  std::vector<unsigned char> head = raw.read(at, 40);
  Cursor c{head};
  std::uint64_t headCrc, type, flags, headSize;
  if (!c.get(&headCrc, 2) || !c.get(&type, 1) || !c.get(&flags, 2) || !c.get(&headSize, 2) || headSize < 7) {
    return false;
  }
  std::uint64_t data = 0;
  if (type == 0x74 || type == 0x7A) {
    std::uint64_t packLow, unpLow, host, crc, highPack = 0, highUnp = 0;
    const std::uint64_t fixed = (flags & 0x100) ? 40 : 32;
    if (headSize < fixed || !c.get(&packLow, 4) || !c.get(&unpLow, 4) || !c.get(&host, 1) || !c.get(&crc, 4)) {
      return false;
    }
    if (flags & 0x100) {
      c.at = 32;
      if (!c.get(&highPack, 4) || !c.get(&highUnp, 4)) return false;
    }
    data = packLow | highPack << 32;
    if (type == 0x74) {
      // The header's own CRC (low 16 bits of the CRC-32 from HEAD_TYPE to its
      // end) tells that this really is the entry's header.
      std::vector<unsigned char> whole = raw.read(at, static_cast<std::size_t>(headSize));
      if (whole.size() != headSize || (crc32Update(0, whole.data() + 2, whole.size() - 2) & 0xFFFF) != headCrc) {
        return false;
      }
      block->isFile = true;
      block->checksum.located = true;
      block->checksum.hasCrc = true;
      block->checksum.crc = static_cast<std::uint32_t>(crc);
      block->checksum.unpackedSize = unpLow | highUnp << 32;
      // All ones without the high part: a size the archiver did not know.
      block->checksum.sizeKnown = !(unpLow == 0xFFFFFFFFu && ((flags & 0x100) == 0 || highUnp == 0xFFFFFFFFu));
    }
  } else if (flags & 0x8000) {
    if (headSize < 11 || !c.get(&data, 4)) return false;
  }
  block->next = blockEnd(at, headSize, data, raw.size());
  return true;
}

// A RAR 5 block: CRC32 u32, header size vint (from the type on), type vint,
// flags vint, extra area size vint (flag 1), data size vint (flag 2); a file
// block (type 2) goes on with file flags vint, unpacked size vint,
// attributes vint, mtime u32 (file flag 2), data CRC32 u32 (file flag 4).
bool readRar5Block(const RawArchive& raw, std::uint64_t at, Block* block) {
  std::vector<unsigned char> head = raw.read(at, 4 + 10 * 8 + 8);
  Cursor c{head};
  std::uint64_t headCrc, headSize, type, flags, extra = 0, data = 0;
  if (!c.get(&headCrc, 4) || !c.vint(&headSize) || headSize == 0 || headSize > kRar5HeaderLimit) return false;
  const std::uint64_t headerBytes = c.at + headSize;  // the CRC, the size and what the size counts
  if (!c.vint(&type) || !c.vint(&flags) || ((flags & 1) && !c.vint(&extra)) || ((flags & 2) && !c.vint(&data))) {
    return false;
  }
  if (type == 2) {
    std::uint64_t fileFlags, unpacked, attributes, mtime, crc = 0;
    if (!c.vint(&fileFlags) || !c.vint(&unpacked) || !c.vint(&attributes) || ((fileFlags & 2) && !c.get(&mtime, 4)) ||
        ((fileFlags & 4) && !c.get(&crc, 4)) || c.at > headerBytes) {
      return false;
    }
    std::vector<unsigned char> whole = raw.read(at, static_cast<std::size_t>(headerBytes));
    if (whole.size() != headerBytes || crc32Update(0, whole.data() + 4, whole.size() - 4) != headCrc) return false;
    block->isFile = true;
    block->checksum.located = true;
    block->checksum.hasCrc = (fileFlags & 4) != 0;
    block->checksum.crc = static_cast<std::uint32_t>(crc);
    block->checksum.sizeKnown = (fileFlags & 8) == 0;
    block->checksum.unpackedSize = unpacked;
  } else if (c.at > headerBytes) {
    return false;
  }
  block->next = blockEnd(at, headerBytes, data, raw.size());
  return true;
}

// Where the walk over the archive's own headers stands.
struct Walk {
  const RawArchive* raw = nullptr;
  RarFormat format = RarFormat::kUnknown;
  std::uint64_t next = 0;  // where the next block header to look at begins
};

// The format from the signature at the start of the file, and where the
// first block begins. An archive with anything before its signature (a
// self-extracting one) is left unknown: its entries cannot be checked.
RarFormat signatureOf(const RawArchive& raw, std::uint64_t* firstBlock) {
  std::vector<unsigned char> start = raw.read(0, 8);
  static const unsigned char rar4[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
  static const unsigned char rar5[8] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x01, 0x00};
  if (start.size() >= 7 && std::memcmp(start.data(), rar4, 7) == 0) {
    *firstBlock = 7;
    return RarFormat::kRar4;
  }
  if (start.size() == 8 && std::memcmp(start.data(), rar5, 8) == 0) {
    *firstBlock = 8;
    return RarFormat::kRar5;
  }
  return RarFormat::kUnknown;
}

// Finds the header of the entry libarchive just read: the first file block
// at or after where libarchive began reading it (blocks it passes over, such
// as service blocks, are not entries). The walk goes on from there for the
// next entry.
EntryChecksum locateEntryHeader(struct archive* reader, Walk& walk) {
  const std::uint64_t from = static_cast<std::uint64_t>(archive_read_header_position(reader));
  while (walk.format != RarFormat::kUnknown && walk.next < walk.raw->size()) {
    Block block;
    bool read = walk.format == RarFormat::kRar4 ? readRar4Block(*walk.raw, walk.next, &block)
                                                : readRar5Block(*walk.raw, walk.next, &block);
    if (!read) break;
    std::uint64_t at = walk.next;
    walk.next = block.next;
    if (block.isFile && at >= from) return block.checksum;
  }
  walk.format = RarFormat::kUnknown;  // lost: no later entry can be matched either
  return EntryChecksum();
}

// Writes the stream in whole records. A launcher that went away (a broken
// pipe) ends the reader.
class StreamWriter {
 public:
  explicit StreamWriter(int fd) : fd_(fd) {}
  void result(char kind, unsigned value) {
    std::string record(1, kind);
    putU32(record, value);
    send(record);
  }
  void header(const std::string& name, unsigned flags, unsigned attributes, std::uint64_t size, std::uint32_t crc) {
    std::string record(1, kReaderHeader);
    putU32(record, static_cast<std::uint32_t>(name.size()));
    record += name;
    putU32(record, flags);
    putU32(record, kRarHostUnix);
    putU32(record, attributes);
    putU32(record, static_cast<std::uint32_t>(size));
    putU32(record, static_cast<std::uint32_t>(size >> 32));
    putU32(record, crc);
    send(record);
  }
  // The record's head and the bytes go out in one call, without a copy.
  void data(const unsigned char* bytes, std::size_t length) {
    unsigned char head[5] = {static_cast<unsigned char>(kReaderData), static_cast<unsigned char>(length),
                             static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length >> 16),
                             static_cast<unsigned char>(length >> 24)};
    struct iovec pieces[2] = {{head, sizeof head}, {const_cast<unsigned char*>(bytes), length}};
    int count = 2;
    struct iovec* at = pieces;
    while (count > 0) {
      ssize_t n = ::writev(fd_, at, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(3);
      std::size_t done = static_cast<std::size_t>(n);
      while (count > 0 && done >= at->iov_len) {
        done -= at->iov_len;
        ++at;
        --count;
      }
      if (count > 0) {
        at->iov_base = static_cast<unsigned char*>(at->iov_base) + done;
        at->iov_len -= done;
      }
    }
  }

 private:
  static void putU32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
  }
  void send(const std::string& record) {
    std::size_t done = 0;
    while (done < record.size()) {
      ssize_t n = ::write(fd_, record.data() + done, record.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) _exit(3);
      done += static_cast<std::size_t>(n);
    }
  }
  int fd_;
};

// Streams one regular file's data and checks it; the entry's result.
unsigned streamData(struct archive* reader, const EntryChecksum& checksum, StreamWriter& out, bool* broken) {
  std::vector<unsigned char> buffer(kRarReaderChunk);
  std::uint32_t crc = 0;
  std::uint64_t total = 0;
  for (;;) {
    la_ssize_t n = archive_read_data(reader, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      *broken = true;
      return kRarBadData;
    }
    std::size_t length = static_cast<std::size_t>(n);
    out.data(buffer.data(), length);
    crc = crc32Update(crc, buffer.data(), length);
    total += length;
  }
  if (!checksum.located || (checksum.sizeKnown && checksum.unpackedSize != total) ||
      (checksum.hasCrc && checksum.crc != crc))
    return kRarBadData;
  return kRarSuccess;
}

}  // namespace

void streamArchive(int archiveFd, int outFd) {
  StreamWriter out(outFd);
  struct archive* reader = archive_read_new();
  archive_read_support_format_rar(reader);
  archive_read_support_format_rar5(reader);
  if (archive_read_open_fd(reader, archiveFd, 1 << 16) != ARCHIVE_OK) {
    out.result(kReaderOpen, kRarBadArchive);
    archive_read_free(reader);
    return;
  }
  out.result(kReaderOpen, kRarSuccess);
  RawArchive raw(archiveFd);
  Walk walk;
  walk.raw = &raw;
  walk.format = signatureOf(raw, &walk.next);
  for (;;) {
    struct archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader, &entry);
    if (status == ARCHIVE_EOF) {
      out.result(kReaderArchiveEnd, kRarEndArchive);
      break;
    }
    if (status == ARCHIVE_FATAL || status == ARCHIVE_RETRY) {
      out.result(kReaderArchiveEnd, kRarBadData);
      break;
    }
    const char* path = archive_entry_pathname(entry);
    std::string name = path ? path : "";
    if (name.size() > kRarReaderMaxName) name.resize(kRarReaderMaxName);
    mode_t mode = archive_entry_mode(entry);
    bool encrypted = archive_entry_is_encrypted(entry) != 0;
    unsigned flags = (S_ISDIR(mode) ? kRarFlagDirectoryMask : 0) | (encrypted ? kRarFlagEncrypted : 0);
    la_int64_t size = archive_entry_size(entry);
    EntryChecksum checksum = locateEntryHeader(reader, walk);
    out.header(name, flags, static_cast<unsigned>(mode), size > 0 ? static_cast<std::uint64_t>(size) : 0, checksum.crc);
    unsigned result = kRarSuccess;
    bool broken = false;
    if (S_ISREG(mode) && !encrypted) {
      result = streamData(reader, checksum, out, &broken);
    } else {
      if (archive_read_data_skip(reader) != ARCHIVE_OK) broken = true;
      if (encrypted) result = kRarMissingPassword;
      if (broken) result = kRarBadData;
    }
    out.result(kReaderEntryEnd, result);
    if (broken) {
      out.result(kReaderArchiveEnd, kRarBadData);
      break;
    }
  }
  archive_read_free(reader);
}

}  // namespace platform
