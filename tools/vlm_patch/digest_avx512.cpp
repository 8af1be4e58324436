// XXH3's one-buffer form compiled for AVX-512 (see digest.h), on the same
// terms as digest_avx2.cpp: built with -mavx512f, holding nothing but
// xxhash.h's static functions.
#include <stddef.h>
#include <stdint.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vlmpatch {

uint64_t digestOfWithAvx512(const void* data, size_t length);

uint64_t digestOfWithAvx512(const void* data, size_t length) { return XXH3_64bits(data, length); }

}  // namespace vlmpatch
