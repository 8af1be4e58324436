// The digest `diff` tells stored files apart by: XXH3 in its 64-bit form
// (seed 0), the xxHash family's fast non-cryptographic digest, so that an
// installation is read at the speed the file cache or the disk gives. It
// comes from Debian's libxxhash-dev header, compiled in on both targets; no
// library is linked. Where the processor has AVX-512 (not on Windows) or
// AVX2 (asked once, at first use), the one-buffer form runs a copy of the
// code built for it.
//
// The length is mixed into every digest: two different byte strings, of the
// same length or not, share a digest by accident with a chance of about
// 2^-64; `diff` accepts that, `compare` does not rely on it (it compares
// bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vlmpatch {

// The digest of one buffer.
std::uint64_t digestOf(const void* data, std::size_t length);

// The same digest, fed in pieces of any size: for a stored file larger than
// the buffer it is read through.
class DigestStream {
 public:
  DigestStream();
  ~DigestStream();
  DigestStream(const DigestStream&) = delete;
  DigestStream& operator=(const DigestStream&) = delete;

  void add(const void* data, std::size_t length);
  // The digest of everything added so far.
  std::uint64_t digest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace vlmpatch
