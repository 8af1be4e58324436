// The contained reader's work: reads a RAR archive with libarchive from a
// descriptor and talks with the launcher as platform/linux/rar_reader/
// protocol.h says, writing each entry's data straight into the file the
// launcher hands it.
//
// Every file entry's data is checked against the CRC-32 and the size in its
// own header, as the UnRAR library does, whatever libarchive checks itself:
// the reader finds each entry's header with a small parser that never trusts
// a length (RAR 4: always a CRC-32; RAR 5: when the header carries one). An
// archive with anything before its signature (a self-extracting one) cannot
// be checked and is refused. A stored entry's data, which is most of what a
// patch holds, is then read from the file at the place that header gives,
// past libarchive, which would copy and check every byte once more.
#include "platform/linux/rar_reader/archive_stream.h"

#include <archive.h>
#include <archive_entry.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VLM_CRC32_CLMUL 1
#endif

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/linux/rar_reader/protocol.h"
#include "platform/rar.h"

namespace platform {

namespace {

// CRC-32 (IEEE, reflected), as RAR keeps it for every file.
#if VLM_CRC32_CLMUL
// Here the bare register is kept; callers see zlib's convention
// (crc32Update below).
//
// Eight bytes a step through eight tables: for the few bytes at the end of
// a piece, and on a processor without carry-less multiplication.
struct CrcTables {
  std::uint32_t t[8][256];
};

const CrcTables& crcTables() {
  static const CrcTables tables = [] {
    CrcTables built{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      built.t[0][n] = c;
    }
    for (std::uint32_t n = 0; n < 256; ++n) {
      for (int k = 1; k < 8; ++k) built.t[k][n] = (built.t[k - 1][n] >> 8) ^ built.t[0][built.t[k - 1][n] & 0xFF];
    }
    return built;
  }();
  return tables;
}

std::uint32_t tableCrc32Raw(std::uint32_t c, const unsigned char* p, std::size_t size) {
  const auto& t = crcTables().t;
  auto le32 = [](const unsigned char* b) {
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  };
  for (; size >= 8; p += 8, size -= 8) {
    std::uint32_t low = c ^ le32(p), high = le32(p + 4);
    c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^ t[3][high & 0xFF] ^
        t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
  }
  for (; size > 0; ++p, --size) c = t[0][(c ^ *p) & 0xFF] ^ (c >> 8);
  return c;
}

// By folding with carry-less multiplication, 16 bytes at a time in four
// lanes: several times faster than tables or zlib, which would otherwise be
// most of what extracting a stored patch costs. The constants are the bit-reflected
// powers of x modulo the CRC-32 polynomial and the Barrett constants of
// "Fast CRC Computation for Generic Polynomials Using PCLMULQDQ Instruction"
// (Intel, 2009).
#define VLM_CLMUL __attribute__((target("pclmul,sse4.1")))

VLM_CLMUL inline __m128i loadBlock(const unsigned char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// x times both halves of k, added to next: x moved 128 or 512 bits on.
VLM_CLMUL inline __m128i fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// Size is a multiple of 16, at least 64.
VLM_CLMUL std::uint32_t clmulCrc32Raw(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

  __m128i x1 = _mm_xor_si128(loadBlock(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = loadBlock(data + 16), x3 = loadBlock(data + 32), x4 = loadBlock(data + 48);
  data += 64;
  size -= 64;
  while (size >= 64) {
    x1 = fold(x1, k1k2, loadBlock(data));
    x2 = fold(x2, k1k2, loadBlock(data + 16));
    x3 = fold(x3, k1k2, loadBlock(data + 32));
    x4 = fold(x4, k1k2, loadBlock(data + 48));
    data += 64;
    size -= 64;
  }
  // Four lanes into one, then the 16-byte blocks left.
  x1 = fold(x1, k3k4, x2);
  x1 = fold(x1, k3k4, x3);
  x1 = fold(x1, k3k4, x4);
  while (size >= 16) {
    x1 = fold(x1, k3k4, loadBlock(data));
    data += 16;
    size -= 16;
  }
  // 128 bits to 64, to 32 by the Barrett reduction.
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), _mm_clmulepi64_si128(x1, k3k4, 0x10));
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), _mm_srli_si128(x1, 4));
  __m128i quotient = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10), low32);
  x1 = _mm_xor_si128(x1, _mm_clmulepi64_si128(quotient, poly, 0x00));
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

bool cpuHasClmul() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

// The CRC-32 in zlib's convention: crc32Update(0, ...) starts one, and a
// CRC goes on over the next piece with the value the last one gave.
std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  std::uint32_t raw = ~crc;
  if (size >= 64 && cpuHasClmul()) {
    std::size_t folded = size & ~static_cast<std::size_t>(15);
    raw = clmulCrc32Raw(raw, data, folded);
    data += folded;
    size -= folded;
  }
  return ~tableCrc32Raw(raw, data, size);
}
#else
// zlib's, elsewhere.
std::uint32_t crc32Update(std::uint32_t crc, const unsigned char* data, std::size_t size) {
  return static_cast<std::uint32_t>(crc32_z(crc, data, size));
}
#endif

// What the header of one file entry says about its data.
struct EntryChecksum {
  bool located = false;  // the entry's own header was found and read
  bool hasCrc = false;   // it carries a CRC-32 of the unpacked data
  std::uint32_t crc = 0;
  bool sizeKnown = false;
  std::uint64_t unpackedSize = 0;
  // The data is stored as it is (no compression, no encryption, in this one
  // volume), unpackedSize bytes from dataStart on.
  bool stored = false;
  std::uint64_t dataStart = 0;
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
      // METHOD 0x30 is stored; flags 0x01 and 0x02 split the data over
      // volumes, 0x04 encrypts it.
      block->checksum.stored =
          whole[25] == 0x30 && (flags & 0x07) == 0 && block->checksum.sizeKnown && block->checksum.unpackedSize == data;
      block->checksum.dataStart = at + headSize;
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
    // Compression information vint follows: bits 7 to 9 are the method, 0
    // stored. Header flags 0x08 and 0x10 split the data over volumes;
    // encryption lives in the extra area, which is not looked at here: an
    // encrypted entry never takes the stored way (see streamArchive).
    Cursor rest{whole, c.at};
    std::uint64_t compression = 0;
    block->checksum.stored = rest.vint(&compression) && rest.at <= headerBytes && ((compression >> 7) & 7) == 0 &&
                             (flags & 0x18) == 0 && block->checksum.sizeKnown && unpacked == data;
    block->checksum.dataStart = at + headerBytes;
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

// The reader's end of the socket: records out, the launcher's answers in. A
// launcher that went away or answers nonsense ends the reader.
class Channel {
 public:
  explicit Channel(int fd) : fd_(fd) {}
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
  void progress(std::uint64_t done) {
    std::string record(1, kReaderProgress);
    putU64(record, done);
    send(record);
  }
  void copy(std::uint64_t offset, std::uint64_t size) {
    std::string record(1, kReaderCopy);
    putU64(record, offset);
    putU64(record, size);
    send(record);
  }
  void entryEnd(unsigned value, std::uint64_t written, unsigned systemError) {
    std::string record(1, kReaderEntryEnd);
    putU32(record, value);
    putU64(record, written);
    putU32(record, systemError);
    send(record);
  }
  // The launcher's answer to a header; *file is the descriptor that came
  // with 'W' (-1 with any other answer).
  char answer(int* file) {
    char kind = 0;
    struct iovec byte = {&kind, 1};
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
    struct msghdr message = {};
    message.msg_iov = &byte;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t n;
    do {
      n = ::recvmsg(fd_, &message, 0);
    } while (n < 0 && errno == EINTR);
    if (n != 1) _exit(3);
    *file = -1;
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        if (*file < 0 && kind == kLauncherWrite) {
          *file = fd;
        } else {
          ::close(fd);
        }
      }
    }
    if (kind == kLauncherWrite ? *file < 0 : kind != kLauncherSkip && kind != kLauncherTest) _exit(3);
    return kind;
  }

 private:
  static void putU32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>((value >> shift) & 0xFF));
  }
  static void putU64(std::string& out, std::uint64_t value) {
    putU32(out, static_cast<std::uint32_t>(value));
    putU32(out, static_cast<std::uint32_t>(value >> 32));
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

std::uint64_t nowMs() {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000 + static_cast<std::uint64_t>(t.tv_nsec) / 1000000;
}

// Writes all of data at offset; 0, or the system's error number (EIO for a
// write that took no byte).
int writeAllAt(int file, const unsigned char* data, std::size_t size, std::uint64_t offset) {
  while (size > 0) {
    ssize_t n = ::pwrite(file, data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return EIO;
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return 0;
}

// What reading one regular file's data came to.
struct EntryData {
  unsigned result = kRarSuccess;
  bool broken = false;        // the archive cannot be read on: nothing after this entry
  std::uint64_t written = 0;  // bytes written into the file
  unsigned systemError = 0;   // with ERAR_EWRITE: the failed write's error number
};

// Reads one regular file's data in the blocks libarchive holds (no copy of
// its own), checks it, and writes it into file when there is one (-1: a
// test). Says every kRarReaderProgressMs that it is still at work.
EntryData readData(struct archive* reader, const EntryChecksum& checksum, int file, Channel& channel) {
  EntryData entry;
  std::uint32_t crc = 0;
  std::uint64_t total = 0;
  int writeError = 0;
  std::uint64_t lastSign = nowMs();
  for (;;) {
    const void* block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int status = archive_read_data_block(reader, &block, &size, &offset);
    if (status == ARCHIVE_EOF) break;
    // RAR data has no holes: a block anywhere but next is damage.
    if (status != ARCHIVE_OK || offset < 0 || static_cast<std::uint64_t>(offset) != total) {
      entry.broken = true;
      entry.result = kRarBadData;
      return entry;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(block);
    crc = crc32Update(crc, bytes, size);
    if (file >= 0 && writeError == 0) writeError = writeAllAt(file, bytes, size, total);
    total += size;
    if (writeError == 0 && file >= 0) entry.written = total;
    std::uint64_t now = nowMs();
    if (now - lastSign >= kRarReaderProgressMs) {
      channel.progress(total);
      lastSign = now;
    }
  }
  if (!checksum.located || (checksum.sizeKnown && checksum.unpackedSize != total) ||
      (checksum.hasCrc && checksum.crc != crc)) {
    entry.result = kRarBadData;
  } else if (writeError != 0) {
    entry.result = kRarWriteError;
    entry.systemError = static_cast<unsigned>(writeError);
  }
  return entry;
}

// Checks a stored entry's data straight from the archive file, past
// libarchive, which would copy every byte once more and check it with a
// CRC of its own besides this one; the same checks as readData. Data that
// passed is not written here: a 'C' record has the launcher copy it into
// the file (protocol.h says why).
EntryData readStoredData(int archiveFd, const EntryChecksum& checksum, int file, Channel& channel,
                         std::vector<unsigned char>& buffer) {
  EntryData entry;
  std::uint32_t crc = 0;
  std::uint64_t total = 0;
  std::uint64_t lastSign = nowMs();
  while (total < checksum.unpackedSize) {
    std::size_t want = checksum.unpackedSize - total < buffer.size()
                           ? static_cast<std::size_t>(checksum.unpackedSize - total)
                           : buffer.size();
    ssize_t got = ::pread(archiveFd, buffer.data(), want, static_cast<off_t>(checksum.dataStart + total));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {  // the file ends inside the data
      entry.broken = true;
      entry.result = kRarBadData;
      return entry;
    }
    std::size_t size = static_cast<std::size_t>(got);
    crc = crc32Update(crc, buffer.data(), size);
    total += size;
    std::uint64_t now = nowMs();
    if (now - lastSign >= kRarReaderProgressMs) {
      channel.progress(total);
      lastSign = now;
    }
  }
  if (checksum.hasCrc && checksum.crc != crc) {
    entry.result = kRarBadData;
  } else if (file >= 0) {
    // Checked: the launcher copies the bytes into its file.
    channel.copy(checksum.dataStart, total);
    entry.written = total;
  }
  return entry;
}

}  // namespace

void streamArchive(int archiveFd, int channelFd) {
  Channel channel(channelFd);
  struct archive* reader = archive_read_new();
  archive_read_support_format_rar(reader);
  archive_read_support_format_rar5(reader);
  if (archive_read_open_fd(reader, archiveFd, kRarReaderBlock) != ARCHIVE_OK) {
    channel.result(kReaderOpen, kRarBadArchive);
    archive_read_free(reader);
    return;
  }
  channel.result(kReaderOpen, kRarSuccess);
  RawArchive raw(archiveFd);
  std::vector<unsigned char> buffer(kRarReaderBlock);
  Walk walk;
  walk.raw = &raw;
  walk.format = signatureOf(raw, &walk.next);
  for (;;) {
    struct archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader, &entry);
    if (status == ARCHIVE_EOF) {
      channel.result(kReaderArchiveEnd, kRarEndArchive);
      break;
    }
    if (status == ARCHIVE_FATAL || status == ARCHIVE_RETRY) {
      channel.result(kReaderArchiveEnd, kRarBadData);
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
    channel.header(name, flags, static_cast<unsigned>(mode), size > 0 ? static_cast<std::uint64_t>(size) : 0,
                   checksum.crc);

    int file = -1;
    char answer = channel.answer(&file);
    EntryData data;
    // Stored data is read from the file itself when the header the walk
    // found is the one whose data libarchive stands at.
    const bool storedHere = checksum.located && checksum.stored &&
                            checksum.dataStart == static_cast<std::uint64_t>(archive_filter_bytes(reader, 0));
    if (answer != kLauncherSkip && S_ISREG(mode) && !encrypted && storedHere) {
      data = readStoredData(archiveFd, checksum, file, channel, buffer);
      if (!data.broken && archive_read_data_skip(reader) != ARCHIVE_OK) {
        data.broken = true;
        data.result = kRarBadData;
      }
    } else if (answer != kLauncherSkip && S_ISREG(mode) && !encrypted) {
      data = readData(reader, checksum, file, channel);
    } else {
      if (archive_read_data_skip(reader) != ARCHIVE_OK) data.broken = true;
      data.result = data.broken ? kRarBadData : encrypted ? kRarMissingPassword : kRarSuccess;
    }
    // Closed before the end is told: the launcher looks at the file next.
    if (file >= 0) ::close(file);
    channel.entryEnd(data.result, data.written, data.systemError);
    if (data.broken) {
      channel.result(kReaderArchiveEnd, kRarBadData);
      break;
    }
  }
  archive_read_free(reader);
}

}  // namespace platform
