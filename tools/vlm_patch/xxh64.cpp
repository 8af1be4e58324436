#include "tools/vlm_patch/xxh64.h"

#include <cstring>

namespace vlmpatch {

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9ull;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63ull;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5ull;

inline std::uint64_t rotateLeft(std::uint64_t value, int bits) { return (value << bits) | (value >> (64 - bits)); }

// The digest reads its input as little-endian words. Both targets are
// little-endian, where one unaligned load does it; a big-endian host would
// swap the bytes.
inline std::uint64_t load64(const unsigned char* p) {
  std::uint64_t value;
  std::memcpy(&value, p, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap64(value);
#endif
  return value;
}

inline std::uint32_t load32(const unsigned char* p) {
  std::uint32_t value;
  std::memcpy(&value, p, sizeof value);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  value = __builtin_bswap32(value);
#endif
  return value;
}

inline std::uint64_t round(std::uint64_t lane, std::uint64_t input) {
  lane += input * kPrime2;
  lane = rotateLeft(lane, 31);
  return lane * kPrime1;
}

inline std::uint64_t mergeRound(std::uint64_t hash, std::uint64_t lane) {
  hash ^= round(0, lane);
  return hash * kPrime1 + kPrime4;
}

// Consumes whole 32-byte stripes; the count of bytes used.
std::size_t consumeStripes(std::uint64_t lanes[4], const unsigned char* p, std::size_t length) {
  std::uint64_t v1 = lanes[0], v2 = lanes[1], v3 = lanes[2], v4 = lanes[3];
  std::size_t used = 0;
  for (; length - used >= 32; used += 32) {
    v1 = round(v1, load64(p + used));
    v2 = round(v2, load64(p + used + 8));
    v3 = round(v3, load64(p + used + 16));
    v4 = round(v4, load64(p + used + 24));
  }
  lanes[0] = v1;
  lanes[1] = v2;
  lanes[2] = v3;
  lanes[3] = v4;
  return used;
}

}  // namespace

void xxh64Start(Xxh64& state, std::uint64_t seed) {
  state = Xxh64();
  state.seed = seed;
  state.lanes[0] = seed + kPrime1 + kPrime2;
  state.lanes[1] = seed + kPrime2;
  state.lanes[2] = seed;
  state.lanes[3] = seed - kPrime1;
}

void xxh64Add(Xxh64& state, const void* data, std::size_t length) {
  const unsigned char* p = static_cast<const unsigned char*>(data);
  state.totalLength += length;
  if (state.pendingLength + length < 32) {
    if (length) std::memcpy(state.pending + state.pendingLength, p, length);
    state.pendingLength += length;
    return;
  }
  if (state.pendingLength) {
    std::size_t fill = 32 - state.pendingLength;
    std::memcpy(state.pending + state.pendingLength, p, fill);
    consumeStripes(state.lanes, state.pending, 32);
    p += fill;
    length -= fill;
    state.pendingLength = 0;
  }
  std::size_t used = consumeStripes(state.lanes, p, length);
  state.pendingLength = length - used;
  if (state.pendingLength) std::memcpy(state.pending, p + used, state.pendingLength);
}

std::uint64_t xxh64Digest(const Xxh64& state) {
  std::uint64_t hash;
  if (state.totalLength >= 32) {
    const std::uint64_t* v = state.lanes;
    hash = rotateLeft(v[0], 1) + rotateLeft(v[1], 7) + rotateLeft(v[2], 12) + rotateLeft(v[3], 18);
    for (int i = 0; i < 4; ++i) hash = mergeRound(hash, v[i]);
  } else {
    hash = state.seed + kPrime5;
  }
  hash += state.totalLength;
  const unsigned char* p = state.pending;
  std::size_t left = state.pendingLength;
  for (; left >= 8; p += 8, left -= 8) hash = rotateLeft(hash ^ round(0, load64(p)), 27) * kPrime1 + kPrime4;
  if (left >= 4) {
    hash = rotateLeft(hash ^ (load32(p) * kPrime1), 23) * kPrime2 + kPrime3;
    p += 4;
    left -= 4;
  }
  for (; left > 0; ++p, --left) hash = rotateLeft(hash ^ (*p * kPrime5), 11) * kPrime1;
  hash ^= hash >> 33;
  hash *= kPrime2;
  hash ^= hash >> 29;
  hash *= kPrime3;
  hash ^= hash >> 32;
  return hash;
}

std::uint64_t xxh64Of(const void* data, std::size_t length, std::uint64_t seed) {
  Xxh64 state;
  xxh64Start(state, seed);
  xxh64Add(state, data, length);
  return xxh64Digest(state);
}

}  // namespace vlmpatch
