#include "tools/vlm_patch/package_build.h"

#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "archive/package_writer.h"
#include "core/paths.h"
#include "platform/file.h"
#include "platform/status.h"
#include "tools/rar_writer/rar_writer.h"
#include "tools/vlm_patch/progress.h"

namespace vlmpatch {

bool readManifestFile(const std::string& path, Manifest* manifest, std::string* error) {
  platform::File file(platform::openFileForReading(path.c_str()));
  std::uint64_t size = 0;
  if (!file || !platform::getFileSize(file.get(), &size) || size > (16u << 20)) {
    *error = "cannot read manifest " + path;
    return false;
  }
  std::string text(static_cast<std::size_t>(size), '\0');
  bool read =
      size == 0 || platform::readFileAt(file.get(), 0, &text[0], text.size()) == static_cast<std::int64_t>(size);
  if (!read) {
    *error = "cannot read manifest " + path;
    return false;
  }
  std::string problem;
  if (!parseManifest(text, manifest, &problem)) {
    *error = path + ": " + problem;
    return false;
  }
  return true;
}

std::string manifestDirectory(const std::string& manifestPath) {
  std::size_t cut = manifestPath.find_last_of("\\/");
  return cut == std::string::npos ? std::string() : manifestPath.substr(0, cut);
}

static std::string sourcePath(const std::string& baseDir, const std::string& source) {
  bool absolute = !source.empty() && (source[0] == '/' || source[0] == '\\' || (source.size() > 1 && source[1] == ':'));
  return absolute || baseDir.empty() ? source : baseDir + "/" + source;
}

bool buildPackageFile(const Manifest& manifest, const std::string& baseDir, const std::string& outPath,
                      PackageSummary* summary, std::string* error) {
  // Open every source first, so a missing file is found before anything is written.
  std::vector<platform::File> sources;
  std::vector<std::uint32_t> sizes;
  for (const ManifestItem& item : manifest.items) {
    if (manifest.type == 4) {
      sources.emplace_back();
      sizes.push_back(0);
      continue;
    }
    std::string path = sourcePath(baseDir, item.source);
    platform::File file(platform::openFileForReading(path.c_str()));
    std::uint64_t size = 0;
    if (!file || !platform::getFileSize(file.get(), &size)) {
      *error = "cannot read " + path;
      return false;
    }
    sources.push_back(std::move(file));
    if (size > 0xFFFFFFFFu) {
      *error = path + " is 4 GiB or larger; an item holds less";
      return false;
    }
    sizes.push_back(static_cast<std::uint32_t>(size));
  }

  std::uint8_t seed = manifest.seed;
  if (!manifest.hasSeed) seed = static_cast<std::uint8_t>(std::random_device()() & 0xFF);
  archive::PackageFileWriter writer;
  bool ok = archive::beginPackageFile(writer, outPath.c_str(), seed, manifest.version, manifest.type,
                                      static_cast<std::uint16_t>(manifest.items.size()));
  bool readFailed = false;
  std::uint64_t total = 0, done = 0;
  for (std::uint32_t size : sizes) total += size;
  ProgressBar bar = startProgress("building " + outPath, total);
  for (std::size_t i = 0; ok && i < manifest.items.size(); ++i) {
    const ManifestItem& item = manifest.items[i];
    platform::FileHandle source = sources[i].get();
    ok = archive::addPackageItem(
        writer, item.key, item.target, sizes[i], [&](std::uint64_t from, char* buffer, std::size_t length) {
          if (platform::readFileAt(source, from, buffer, length) != static_cast<std::int64_t>(length)) {
            std::memset(buffer, 0, length);
            readFailed = true;
          }
          done += length;
          showProgress(bar, done);
        });
  }
  ok = archive::finishPackageFile(writer) && ok && !readFailed;
  const std::string reason = ok ? std::string() : platform::lastSystemError();  // before other calls
  finishProgress(bar);
  sources.clear();  // closed before a failed package is deleted
  if (!ok) {
    platform::deleteFile(outPath.c_str());
    *error = readFailed ? "a source file changed or could not be read while the package was written"
                        : "cannot write " + outPath + ": " + reason;
    return false;
  }
  summary->seed = seed;
  summary->bytes = writer.written;
  return true;
}

bool readPackageForShow(const std::string& path, archive::PatchPackage* package, std::string* error) {
  if (!platform::pathExists(path.c_str())) {
    *error = "no such file: " + path;
    return false;
  }
  platform::Status read = archive::loadPatchPackageReadOnly(*package, path.c_str());
  if (!read.ok()) {
    *error = path + " is not a whole patch package: " + read.reason();
    return false;
  }
  return true;
}

bool packPackageFile(const std::string& packagePath, const std::string& entryName, const std::string& outPath,
                     std::string* error) {
  if (!writeStoredRarFromFile(outPath.c_str(), entryName, packagePath.c_str())) {
    // The writer fails only on the system's calls, or on a package of 4 GiB
    // and more, which a stored archive cannot hold.
    std::string reason = platform::lastSystemError();
    platform::File package(platform::openFileForReading(packagePath.c_str()));
    std::uint64_t size = 0;
    if (package && platform::getFileSize(package.get(), &size) && size >= (std::uint64_t(1) << 32))
      reason = "the package is 4 GiB or larger, more than a patch archive holds";
    *error = "cannot pack " + packagePath + " into " + outPath + ": " + reason;
    return false;
  }
  return true;
}

}  // namespace vlmpatch
