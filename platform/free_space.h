// The room left on a volume, for the checks made before a step writes much
// (a patch download, a package's application).
#pragma once

#include <cstdint>

#include "platform/status.h"

namespace platform {

// The bytes this process may still write on the volume that holds the
// directory path (an existing directory: Windows refuses a file's name): Linux statvfs, f_bavail blocks of
// f_frsize bytes (the blocks kept for the system's administrator do not
// count); Windows GetDiskFreeSpaceExA, the bytes free to the caller (quotas
// count). A failure, with the system's reason, when the system cannot say.
Status freeSpace(const char* path, std::uint64_t* bytes);

}  // namespace platform
