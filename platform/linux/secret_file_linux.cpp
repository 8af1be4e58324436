#include "platform/secret_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/file.h"

namespace platform {

bool writeNewSecretFile(const char* path, const std::string& bytes, std::string* why) {
  std::string native = nativePath(path);
  int fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    *why = native + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  bool ok = done == bytes.size() && ::fsync(fd) == 0;
  if (!ok) *why = native + ": " + std::strerror(errno);
  ::close(fd);
  if (!ok) ::unlink(native.c_str());
  return ok;
}

}  // namespace platform
