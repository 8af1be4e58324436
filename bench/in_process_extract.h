// The release bench's yardstick for extraction: libarchive called in the
// bench's own process, as the launcher read patch archives before its RAR
// reader ran in a process of its own. A file of its own because libarchive's
// global "struct archive" and the launcher's archive layer share a name.
#pragma once

// Extracts the archive's first entry to target; false when libarchive
// cannot read it (a stored RAR 4 entry's CRC is checked by libarchive).
bool extractInProcess(const char* archivePath, const char* target);
