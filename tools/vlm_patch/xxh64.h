// XXH64, the 64-bit xxHash of Yann Collet's published design: a fast
// non-cryptographic digest, here to tell whether two stored files hold the
// same bytes while an installation is read at disk speed. Fed in pieces of
// any size, it gives the same value as over the whole buffer at once.
//
// Two different byte strings of the same length share a digest by accident
// with a chance of about 2^-64; `diff` accepts that, `compare` does not rely
// on it (it compares bytes).
#pragma once

#include <cstddef>
#include <cstdint>

namespace vlmpatch {

struct Xxh64 {
  std::uint64_t lanes[4] = {};
  std::uint64_t seed = 0;
  std::uint64_t totalLength = 0;
  unsigned char pending[32] = {};  // a stripe not yet whole
  std::size_t pendingLength = 0;
};

void xxh64Start(Xxh64& state, std::uint64_t seed = 0);
void xxh64Add(Xxh64& state, const void* data, std::size_t length);
// The digest of everything added so far; the state may go on taking bytes.
std::uint64_t xxh64Digest(const Xxh64& state);

// The digest of one buffer.
std::uint64_t xxh64Of(const void* data, std::size_t length, std::uint64_t seed = 0);

}  // namespace vlmpatch
