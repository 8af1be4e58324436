#include "bench/in_process_extract.h"

#include <archive.h>
#include <archive_entry.h>

#include <cstdio>
#include <vector>

bool extractInProcess(const char* archivePath, const char* target) {
  struct archive* reader = archive_read_new();
  archive_read_support_format_rar(reader);
  archive_read_support_format_rar5(reader);
  bool ok = archive_read_open_filename(reader, archivePath, 1 << 16) == ARCHIVE_OK;
  struct archive_entry* entry = nullptr;
  ok = ok && archive_read_next_header(reader, &entry) == ARCHIVE_OK;
  std::FILE* out = ok ? std::fopen(target, "wb") : nullptr;
  std::vector<char> buffer(1 << 20);
  while (out) {
    la_ssize_t n = archive_read_data(reader, buffer.data(), buffer.size());
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = std::fwrite(buffer.data(), 1, static_cast<std::size_t>(n), out) == static_cast<std::size_t>(n);
    if (!ok) break;
  }
  if (out) std::fclose(out);
  archive_read_free(reader);
  return ok;
}
