#include "tools/vlm_patch/lone_package.h"

#include <memory>
#include <random>

#include "platform/rar.h"

namespace vlmpatch {

namespace fs = std::filesystem;

PrivateTempDirectory::PrivateTempDirectory() {
  std::random_device random;
  for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
    std::error_code error;
    fs::path candidate = fs::temp_directory_path(error) / ("vlm-check-" + std::to_string(random()));
    if (!error && fs::create_directory(candidate, error) && !error) path_ = candidate;
  }
}

PrivateTempDirectory::~PrivateTempDirectory() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

bool extractLonePackage(const std::string& rarPath, const std::string& wanted, const std::string& outPath,
                        std::string* why) {
  std::unique_ptr<platform::RAROpenArchiveDataEx> open(new platform::RAROpenArchiveDataEx());
  std::unique_ptr<platform::RARHeaderDataEx> header(new platform::RARHeaderDataEx());
  std::string name = rarPath;
  open->ArcName = &name[0];
  open->OpenMode = platform::kRarOpenModeExtract;
  platform::RarHandle archive = platform::rarOpenArchiveEx(open.get());
  if (!archive || open->OpenResult != 0) {
    if (archive) platform::rarCloseArchive(archive);
    *why = "not a readable RAR archive";
    return false;
  }
  int files = 0, result = 0;
  bool found = false;
  while ((result = platform::rarReadHeaderEx(archive, header.get())) == 0) {
    header->FileName[sizeof header->FileName - 1] = '\0';
    bool directory = (header->Flags & platform::kRarFlagDirectoryMask) == platform::kRarFlagDirectoryMask ||
                     (header->FileAttr & 0x10) != 0;
    if (directory) {
      platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
      continue;
    }
    ++files;
    if (wanted == header->FileName && !found) {
      found = true;
      result = platform::rarProcessFile(archive, platform::kRarExtract, nullptr, outPath.c_str());
      if (result != 0) break;
    } else {
      platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
    }
  }
  platform::rarCloseArchive(archive);
  if (result != 0 && result != static_cast<int>(platform::kRarEndArchive)) {
    *why = "damaged archive (error " + std::to_string(result) + ")";
    return false;
  }
  if (!found) {
    *why = "holds no " + wanted;
    return false;
  }
  if (files != 1) {
    *why = "holds " + std::to_string(files) + " files, expected " + wanted + " alone";
    return false;
  }
  return true;
}

}  // namespace vlmpatch
