#include "tools/vlm_patch/digest.h"

#include <new>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vlmpatch {

// digest_avx2.cpp: the one-buffer form built for AVX2. It is a file of its
// own, compiled with -mavx2 and holding nothing else, so no code built for
// AVX2 can stand in for code other files share.
std::uint64_t digestOfWithAvx2(const void* data, std::size_t length);
// digest_avx512.cpp: the same for AVX-512 (not in Windows builds).
std::uint64_t digestOfWithAvx512(const void* data, std::size_t length);

namespace {

std::uint64_t digestOfPlain(const void* data, std::size_t length) { return XXH3_64bits(data, length); }

using DigestFunction = std::uint64_t (*)(const void*, std::size_t);

DigestFunction chooseDigest() {
  // GCC's checks also ask the system whether it saves the registers.
#if defined(VLM_DIGEST_AVX512)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f")) return digestOfWithAvx512;
#endif
#if defined(VLM_DIGEST_AVX2)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return digestOfWithAvx2;
#endif
  return digestOfPlain;
}

}  // namespace

std::uint64_t digestOf(const void* data, std::size_t length) {
  static const DigestFunction chosen = chooseDigest();
  return chosen(data, length);
}

struct DigestStream::State {
  XXH3_state_t* xxh = XXH3_createState();
  ~State() { XXH3_freeState(xxh); }
};

DigestStream::DigestStream() : state_(new State) {
  if (!state_->xxh) throw std::bad_alloc();
  XXH3_64bits_reset(state_->xxh);
}

DigestStream::~DigestStream() = default;

void DigestStream::add(const void* data, std::size_t length) { XXH3_64bits_update(state_->xxh, data, length); }

std::uint64_t DigestStream::digest() const { return XXH3_64bits_digest(state_->xxh); }

}  // namespace vlmpatch
