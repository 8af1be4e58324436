// Dropping a process's rights before it parses hostile bytes.
#pragma once

#include <string>

namespace platform {

// Confines the calling process for good: no new privileges, and a seccomp
// filter that lets through only reading (the descriptors it has; nothing can
// be opened), receiving descriptors over a socket it has, writing, memory
// management, the time and the end of the process. Every other system call fails with EPERM; opening files, sockets,
// starting programs and signalling other processes are among them. False,
// with the reason, when the filter could not be installed: the caller must
// then not go on.
bool enterReaderSandbox(std::string* why);

}  // namespace platform
