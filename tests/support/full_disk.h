// A real full disk for tests (Linux): tests/support/with_full_disk.sh runs a
// test binary in a mount namespace of its own with a small tmpfs, named by
// VLM_FULL_DISK_DIR; a filler file then takes all but the room a case
// leaves, and the system's own "No space left on device" follows.
#pragma once

#include <cstdint>
#include <string>

// The small file system's directory; false, with why it is missing, when
// the binary was not started by with_full_disk.sh (or unshare was refused
// there): the caller then skips with that reason.
bool smallFileSystem(std::string* directory, std::string* whyNot);

// The room left free on the file system that holds path.
std::uint64_t freeBytes(const std::string& path);

// Takes all but about `leave` bytes of the file system that holds the
// directory, as the file `name` there (a test assertion fails when it
// cannot).
void fillLeaving(const std::string& directory, const std::string& name, std::uint64_t leave);
