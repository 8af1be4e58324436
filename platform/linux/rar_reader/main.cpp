// vlm-rar-reader: reads one RAR archive for the Linux launcher, in a process
// of its own that can do little more than read the archive it was given
// (standard input), tell the launcher what it found over the socket that is
// its standard output and write entries into the files the launcher hands it
// there: a bug in the archive library reached by a hostile archive stays in
// here. The launcher starts one for each archive and checks everything it
// says.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/linux/rar_reader/archive_stream.h"
#include "platform/linux/rar_reader/sandbox.h"

int main() {
  // Whatever else the launcher had open (its game archives, its display
  // connection) is none of the reader's business, whether or not it was
  // marked to close on exec.
  if (close_range(3, ~0U, 0) != 0) {
    for (long fd = 3, last = sysconf(_SC_OPEN_MAX); fd < (last > 0 ? last : 1024); ++fd) ::close(static_cast<int>(fd));
  }
  std::string why;
  if (!platform::enterReaderSandbox(&why)) {
    std::fprintf(stderr, "vlm-rar-reader: %s\n", why.c_str());
    return 1;  // the launcher sees no open result: a failed extraction
  }
  platform::streamArchive(0, 1);
  return 0;
}
