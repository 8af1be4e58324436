#include "platform/crypto.h"

namespace platform {

bool sha256Of(const void* data, std::size_t size, unsigned char digest[kSha256Size]) {
  Sha256 hash;
  return hash.update(data, size) && hash.finish(digest);
}

}  // namespace platform
