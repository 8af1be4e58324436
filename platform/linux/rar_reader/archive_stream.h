// The contained reader's work, apart from its sandbox (see protocol.h).
#pragma once

namespace platform {

// Reads the RAR archive open as archiveFd and talks with the launcher over
// the socket channelFd, from the open result to the archive's end record.
void streamArchive(int archiveFd, int channelFd);

}  // namespace platform
