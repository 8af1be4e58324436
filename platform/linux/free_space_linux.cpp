// The room left on a volume, on Linux.
#include <sys/statvfs.h>

#include <cerrno>

#include "platform/file.h"
#include "platform/free_space.h"

namespace platform {

Status freeSpace(const char* path, std::uint64_t* bytes) {
  struct statvfs info;
  int result;
  do {
    result = ::statvfs(nativePath(path).c_str(), &info);
  } while (result != 0 && errno == EINTR);
  if (result != 0) return Status::systemFailure();
  *bytes = static_cast<std::uint64_t>(info.f_bavail) * static_cast<std::uint64_t>(info.f_frsize);
  return Status();
}

}  // namespace platform
