// XXH3's one-buffer form compiled for AVX2 (see digest.h). This file is built
// with -mavx2: it must include nothing but xxhash.h, whose functions are all
// static here, so that no function of shared linkage is compiled for AVX2
// and picked by the linker for processors without it.
#include <stddef.h>
#include <stdint.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace vlmpatch {

uint64_t digestOfWithAvx2(const void* data, size_t length);

uint64_t digestOfWithAvx2(const void* data, size_t length) { return XXH3_64bits(data, length); }

}  // namespace vlmpatch
