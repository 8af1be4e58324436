#include "tool_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "archive/index_writer.h"
#include "archive/patch_package.h"
#include "platform/file.h"
#include "support/temp_dir.h"
#include "tools/vlm_patch/install_check.h"
#include "update/program_kind.h"

namespace vlmpatch {

namespace fs = std::filesystem;

int runTool(const std::string& command, const Args& args) {
  fs::path here = fs::current_path();
  int code = kExitUsage;
  if (command == "package build") code = runPackageBuild(args);
  if (command == "package show") code = runPackageShow(args);
  if (command == "pack") code = runPack(args);
  if (command == "publish") code = runPublish(args);
  if (command == "publish-launcher") code = runPublishExecutable(args, Executable::kLauncher);
  if (command == "publish-client") code = runPublishExecutable(args, Executable::kClient);
  if (command == "index init") code = runIndexInit(args);
  if (command == "index show") code = runIndexShow(args);
  if (command == "index check") code = runIndexCheck(args);
  if (command == "index set-version") code = runIndexSetVersion(args);
  if (command == "apply") code = runApply(args);
  if (command == "compact") code = runCompact(args);
  if (command == "key generate") code = runKeyGenerate(args);
  if (command == "server init") code = runServerInit(args);
  if (command == "server sign") code = runServerSign(args);
  if (command == "server check") code = runServerCheck(args);
  if (command == "diff") code = runDiff(args);
  if (command == "compare") code = runCompare(args);
  if (command == "publish-repair-set") code = runPublishRepairSet(args);
  fs::current_path(here);
  return code;
}

std::map<std::uint32_t, std::string> installationContents(const std::string& dir) {
  fs::path here = fs::current_path();
  fs::current_path(dir);
  std::map<std::uint32_t, std::string> contents;
  archive::ArchiveSet set;
  std::string error;
  if (readInstallIndex(&set, &error)) {
    for (const auto& slot : set.archives) {
      platform::FileHandle file = platform::openFileForReading(slot->name.c_str());
      for (const archive::FileEntry& e : liveEntries(*slot->archive)) {
        std::string bytes(e.size, '\0');
        if (e.size) platform::readFileAt(file, e.offset, &bytes[0], e.size);
        contents[e.key] = bytes;
      }
      platform::closeFile(file);
    }
  }
  fs::current_path(here);
  return contents;
}

void writeStoreManifest(const std::string& path, const std::map<std::uint32_t, std::string>& files,
                        const std::string& extraLines) {
  std::string text = extraLines;
  fs::path dir = fs::path(path).parent_path();
  for (const auto& [key, bytes] : files) {
    std::string name = "item" + std::to_string(key) + ".bin";
    writeWholeFile((dir / name).string(), bytes);
    text += "store " + std::to_string(key) + " " + name + "\n";
  }
  writeWholeFile(path, text);
}

std::string bytesOf(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + static_cast<char>(i * 7 % 251));
  return bytes;
}

namespace {

// The name's parts, split at either separator.
std::vector<std::string> partsOf(const std::string& name) {
  std::vector<std::string> parts(1);
  for (char c : name) {
    if (c == '/' || c == '\\')
      parts.emplace_back();
    else
      parts.back().push_back(c);
  }
  return parts;
}

}  // namespace

void writeRelease(const std::string& dir, const ReleaseSpec& release) {
  fs::create_directories(dir);
  std::vector<archive::IndexArchiveSpec> archives;
  for (const ArchiveContents& contents : release.archives) {
    archive::IndexArchiveSpec spec;
    spec.name = contents.name;
    std::string bytes;
    for (const auto& [key, data] : contents.files) {
      bytes += std::string(contents.gap, '~');
      spec.entries.push_back({key, static_cast<std::uint32_t>(bytes.size()), static_cast<std::uint32_t>(data.size())});
      bytes += data;
    }
    writeWholeFile((fs::path(dir) / contents.name).string(), bytes);
    archives.push_back(spec);
  }
  EXPECT_TRUE(archive::writeIndexFile((fs::path(dir) / "data.idx").string().c_str(), release.version, archives));
  for (const auto& [name, bytes] : release.files) {
    fs::path path = dir;
    std::vector<std::string> parts = partsOf(name);
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) path /= parts[i];
    fs::create_directories(path);
    writeWholeFile((path / parts.back()).string(), bytes);
  }
}

std::map<std::string, std::string> looseFilesOf(const std::string& dir) {
  archive::ArchiveSet set;  // without an index every file is loose
  static_cast<void>(archive::readIndexFile((fs::path(dir) / "data.idx").string().c_str(), set));
  std::vector<std::string> machinery = {"data.idx"};
  for (const auto& slot : set.archives) machinery.push_back(slot->name);
  std::map<std::string, std::string> files;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_regular_file()) continue;
    std::string name = fs::relative(it->path(), dir).generic_string();
    std::replace(name.begin(), name.end(), '/', '\\');
    if (std::find(machinery.begin(), machinery.end(), name) != machinery.end()) continue;
    files[name] = readWholeFile(it->path().string());
  }
  return files;
}

std::vector<std::pair<std::string, int>> packagesIn(const std::string& dir) {
  std::vector<std::pair<int, std::string>> numbered;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.substr(name.size() - 4) == ".dat" && name[0] != '.')
      numbered.emplace_back(std::stoi(name), entry.path().string());
  }
  std::sort(numbered.begin(), numbered.end());
  std::vector<std::pair<std::string, int>> packages;
  for (const auto& [number, path] : numbered) {
    archive::PatchPackage package;
    int type = archive::loadPatchPackageReadOnly(package, path.c_str()) ? package.type : -1;
    archive::closePatchPackage(package);
    packages.emplace_back(path, type);
  }
  return packages;
}

std::string windowsProgram(std::size_t size, char seed) {
  std::string bytes = bytesOf(size < 0x48 ? 0x48 : size, seed);
  bytes[0] = 'M';
  bytes[1] = 'Z';
  const char peOffset[4] = {0x40, 0, 0, 0};
  bytes.replace(0x3C, 4, peOffset, 4);
  const char header[6] = {
      'P', 'E', 0, 0, static_cast<char>(update::kPeMachineI386 & 0xFF), static_cast<char>(update::kPeMachineI386 >> 8)};
  bytes.replace(0x40, 6, header, 6);
  return bytes;
}

std::string linuxProgramPath() {
#if defined(VLM_LINUX_PROGRAM)
  return VLM_LINUX_PROGRAM;
#else
  return "";
#endif
}

std::map<std::string, std::string> directorySnapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_regular_file())
      files[fs::relative(it->path(), dir).generic_string()] = readWholeFile(it->path().string());
  }
  return files;
}

std::string snapshotDifference(const std::map<std::string, std::string>& before,
                               const std::map<std::string, std::string>& after) {
  std::string text;
  for (const auto& [name, bytes] : after) {
    auto old = before.find(name);
    if (old == before.end())
      text += "+ " + name + "\n";
    else if (old->second != bytes)
      text += "~ " + name + "\n";
  }
  for (const auto& [name, bytes] : before)
    if (!after.count(name)) text += "- " + name + "\n";
  return text;
}

}  // namespace vlmpatch
