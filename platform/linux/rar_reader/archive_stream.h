// The contained reader's work, apart from its sandbox (see protocol.h).
#pragma once

namespace platform {

// Reads the RAR archive open as archiveFd and writes the reader's stream to
// outFd, from the open result to the archive's end record.
void streamArchive(int archiveFd, int outFd);

}  // namespace platform
