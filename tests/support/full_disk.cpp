#include "support/full_disk.h"

#include <gtest/gtest.h>
#include <sys/statvfs.h>

#include <cstdlib>
#include <filesystem>

#include "support/temp_dir.h"

bool smallFileSystem(std::string* directory, std::string* whyNot) {
  const char* dir = std::getenv("VLM_FULL_DISK_DIR");
  if (dir) {
    *directory = dir;
    return true;
  }
  const char* refused = std::getenv("VLM_FULL_DISK_REFUSED");
  *whyNot = std::string("no small file system of its own: ") + (refused ? refused : "not started by with_full_disk.sh");
  return false;
}

std::uint64_t freeBytes(const std::string& path) {
  struct statvfs info;
  if (::statvfs(path.c_str(), &info) != 0) return 0;
  return static_cast<std::uint64_t>(info.f_bavail) * info.f_frsize;
}

void fillLeaving(const std::string& directory, const std::string& name, std::uint64_t leave) {
  std::uint64_t room = freeBytes(directory);
  ASSERT_GT(room, leave) << "the file system is smaller than the case needs";
  writeWholeFile((std::filesystem::path(directory) / name).string(), std::string(room - leave, 'f'));
  ASSERT_LE(freeBytes(directory), leave) << "the filler left more room than asked";
}
