// Reading the one package a server's RAR archive holds (a numbered patch's
// "N.dat", a repair pack's "repair.dat"), as server check does: extracted
// through the RAR reader the launcher uses into a directory of the tool's
// own, then read as a package.
#pragma once

#include <filesystem>
#include <string>

namespace vlmpatch {

// A directory of our own under the system's temporary directory, made new
// (never one that was there: another process's, or a link planted in a
// shared /tmp) and removed with what it holds.
class PrivateTempDirectory {
 public:
  PrivateTempDirectory();
  ~PrivateTempDirectory();
  PrivateTempDirectory(const PrivateTempDirectory&) = delete;
  PrivateTempDirectory& operator=(const PrivateTempDirectory&) = delete;

  bool made() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Extracts the archive's file entry `wanted` to outPath. False with the
// reason ("not a readable RAR archive", "damaged archive (error 12)",
// "holds no 5.dat", "holds 2 files, expected 5.dat alone") unless the
// archive reads to its end and holds that file alone (directories aside).
bool extractLonePackage(const std::string& rarPath, const std::string& wanted, const std::string& outPath,
                        std::string* why);

}  // namespace vlmpatch
