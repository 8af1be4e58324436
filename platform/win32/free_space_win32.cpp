// The room left on a volume, on Windows.
#include <windows.h>

#include "platform/free_space.h"

namespace platform {

Status freeSpace(const char* path, std::uint64_t* bytes) {
  ULARGE_INTEGER freeToCaller, total, totalFree;
  if (!GetDiskFreeSpaceExA(path, &freeToCaller, &total, &totalFree)) return Status::systemFailure();
  *bytes = static_cast<std::uint64_t>(freeToCaller.QuadPart);
  return Status();
}

}  // namespace platform
