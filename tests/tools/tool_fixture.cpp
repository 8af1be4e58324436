#include "tool_fixture.h"

#include <filesystem>

#include "platform/file.h"
#include "support/temp_dir.h"
#include "tools/vlm_patch/install_check.h"

namespace fs = std::filesystem;

int runTool(const std::string& command, const Args& args) {
  fs::path here = fs::current_path();
  int code = kExitUsage;
  if (command == "package build") code = runPackageBuild(args);
  if (command == "package show") code = runPackageShow(args);
  if (command == "pack") code = runPack(args);
  if (command == "publish") code = runPublish(args);
  if (command == "publish-launcher") code = runPublishExecutable(args, true);
  if (command == "publish-client") code = runPublishExecutable(args, false);
  if (command == "index init") code = runIndexInit(args);
  if (command == "index show") code = runIndexShow(args);
  if (command == "index check") code = runIndexCheck(args);
  if (command == "apply") code = runApply(args);
  if (command == "compact") code = runCompact(args);
  if (command == "key generate") code = runKeyGenerate(args);
  if (command == "server sign") code = runServerSign(args);
  if (command == "server check") code = runServerCheck(args);
  fs::current_path(here);
  return code;
}

std::map<std::uint32_t, std::string> installationContents(const std::string& dir) {
  fs::path here = fs::current_path();
  fs::current_path(dir);
  std::map<std::uint32_t, std::string> contents;
  ArchiveSet set;
  std::string error;
  if (readInstallIndex(&set, &error)) {
    for (const auto& slot : set.archives) {
      platform::FileHandle file = platform::openFileForReading(slot->name.c_str());
      for (const FileEntry& e : liveEntries(*slot->archive)) {
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
