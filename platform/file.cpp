// File helpers written once over the seam's calls, the same on both platforms.
#include "platform/file.h"

namespace platform {

bool readSmallFile(const char* path, std::size_t limit, std::string* bytes) {
  FileHandle file = openFileForReading(path);
  if (file == kNoFile) return false;
  std::uint64_t size = 0;
  std::string read;
  bool ok = getFileSize(file, &size) && size <= limit;
  if (ok && size > 0) {
    read.assign(static_cast<std::size_t>(size), '\0');
    ok = readFileAt(file, 0, &read[0], read.size()) == static_cast<std::int64_t>(size);
  }
  closeFile(file);
  if (ok) *bytes = std::move(read);
  return ok;
}

std::vector<std::string> directoriesOnTheWay(const std::string& name) {
  std::vector<std::string> directories;
  for (std::size_t cut = name.find_first_of("\\/"); cut != std::string::npos;
       cut = name.find_first_of("\\/", cut + 1)) {
    if (cut > 0) directories.push_back(name.substr(0, cut));
  }
  return directories;
}

bool createDirectoriesOnTheWayNoFollow(const std::string& name) {
  for (const std::string& directory : directoriesOnTheWay(name)) {
    if (!createDirectoryNoFollow(directory.c_str())) return false;
  }
  return true;
}

}  // namespace platform
