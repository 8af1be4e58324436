// vlm-patch server sign and server check: the signed release of a patch
// server directory.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <random>

#include "archive/patch_package.h"
#include "platform/file.h"
#include "platform/rar.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/options.h"
#include "tools/vlm_patch/package_build.h"
#include "tools/vlm_patch/release_files.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/release_check.h"

namespace vlmpatch {

namespace fs = std::filesystem;

namespace {

// A public key given on the command line: 128 hex digits, or a key file
// (its public line is read; the private one is not needed).
bool parsePublicKeyArgument(const std::string& text, update::PublicKey* key, std::string* error) {
  std::vector<update::PublicKey> keys;
  if (update::parsePublicKeyList(text, &keys, nullptr) && keys.size() == 1) {
    *key = keys[0];
    return true;
  }
  vlmpatch::SigningKey signing;
  if (platform::pathExists(text.c_str()) && vlmpatch::readSigningKey(text, &signing, error)) {
    *key = signing.publicKey;
    return true;
  }
  if (error->empty()) *error = "--public-key takes 128 hex digits or a key file: " + text;
  return false;
}

// The package inside patch archive n must be "n.dat", alone, of version n.
// A directory of our own under the system's temporary directory, made new
// (never one that was there: another process's, or a link planted in a
// shared /tmp) and removed with what it holds.
class PrivateTempDirectory {
 public:
  PrivateTempDirectory() {
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
      std::error_code error;
      fs::path candidate = fs::temp_directory_path(error) / ("vlm-check-" + std::to_string(random()));
      if (!error && fs::create_directory(candidate, error) && !error) path_ = candidate;
    }
  }
  ~PrivateTempDirectory() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  PrivateTempDirectory(const PrivateTempDirectory&) = delete;
  PrivateTempDirectory& operator=(const PrivateTempDirectory&) = delete;

  bool made() const { return !path_.empty(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

bool checkPatchArchive(const std::string& path, std::uint32_t n, std::string* why) {
  std::unique_ptr<platform::RAROpenArchiveDataEx> open(new platform::RAROpenArchiveDataEx());
  std::unique_ptr<platform::RARHeaderDataEx> header(new platform::RARHeaderDataEx());
  std::string name = path;
  open->ArcName = &name[0];
  open->OpenMode = platform::kRarOpenModeExtract;
  platform::RarHandle archive = platform::rarOpenArchiveEx(open.get());
  if (!archive || open->OpenResult != 0) {
    if (archive) platform::rarCloseArchive(archive);
    *why = "not a readable RAR archive";
    return false;
  }
  const std::string wanted = std::to_string(n) + ".dat";
  PrivateTempDirectory scratch;
  if (!scratch.made()) {
    platform::rarCloseArchive(archive);
    *why = "no temporary directory to extract " + wanted + " into";
    return false;
  }
  const std::string extracted = scratch.file(wanted);
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
      result = platform::rarProcessFile(archive, platform::kRarExtract, nullptr, extracted.c_str());
      if (result != 0) break;
    } else {
      platform::rarProcessFile(archive, platform::kRarSkip, nullptr, nullptr);
    }
  }
  platform::rarCloseArchive(archive);
  bool ok = false;
  if (result != 0 && result != static_cast<int>(platform::kRarEndArchive)) {
    *why = "damaged archive (error " + std::to_string(result) + ")";
  } else if (!found) {
    *why = "holds no " + wanted;
  } else if (files != 1) {
    *why = "holds " + std::to_string(files) + " files, expected " + wanted + " alone";
  } else {
    archive::PatchPackage package;
    std::string error;
    if (!readPackageForShow(extracted, &package, &error)) {
      *why = wanted + ": " + error;
    } else if (package.version != n) {
      *why = wanted + " carries version " + std::to_string(package.version);
    } else {
      ok = true;
    }
    archive::closePatchPackage(package);
  }
  return ok;
}

struct Problems {
  int count = 0;
  void add(const std::string& what) {
    ++count;
    std::printf("problem: %s\n", what.c_str());
  }
};

void checkExecutable(const std::string& serverDir, const char* name, std::uint32_t version,
                     const update::FileDigest& expected, Problems& problems) {
  std::string path = joinPath(serverDir, name), why;
  bool present = platform::pathExists(path.c_str());
  if (!present && expected.size == 0 && version == 0) return;
  if (!present)
    return problems.add(std::string(name) + ": missing, but version " + std::to_string(version) + " is published");
  if (!update::fileMatchesDigest(path.c_str(), expected, &why)) problems.add(why);
}

void checkPatches(const std::string& serverDir, const update::ReleaseRecord& record, Problems& problems) {
  for (std::uint32_t k = 0; k < record.blockDigests.size(); ++k) {
    char blockName[32];
    std::snprintf(blockName, sizeof blockName, update::kReleaseBlockNameFormat, k);
    std::uint32_t count = update::patchesInBlock(k, record.latestPatch, record.blockPatches);
    std::string bytes, why;
    update::Sha256Digest digest;
    std::vector<update::FileDigest> patches;
    if (!platform::readSmallFile(joinPath(serverDir, blockName).c_str(), count * update::kFileDigestSize, &bytes)) {
      problems.add(std::string(blockName) + ": missing or longer than its " + std::to_string(count) + " patches");
      continue;
    }
    if (!platform::sha256Of(bytes.data(), bytes.size(), digest.data()) || digest != record.blockDigests[k]) {
      problems.add(std::string(blockName) + ": does not match the record");
      continue;
    }
    if (!update::decodePatchBlock(bytes, count, &patches, &why)) {
      problems.add(std::string(blockName) + ": " + why);
      continue;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t n = k * record.blockPatches + i + 1;
      std::string path = joinPath(serverDir, std::to_string(n) + ".rar");
      if (!platform::pathExists(path.c_str())) {
        problems.add(std::to_string(n) + ".rar: missing");
      } else if (!update::fileMatchesDigest(path.c_str(), patches[i], &why)) {
        problems.add(why);
      } else if (!checkPatchArchive(path, n, &why)) {
        problems.add(std::to_string(n) + ".rar: " + why);
      }
    }
  }
}

}  // namespace

int runServerSign(const Args& given) {
  Args args = given;
  bool rehash = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--rehash") {
      rehash = true;
      args.erase(args.begin() + static_cast<long>(i));
      break;
    }
  }
  vlmpatch::SignOptions options;
  options.rehashAll = rehash;
  int code = kExitOk;
  if (!takeSigningOptions(args, &options, &code)) return code;
  if (args.size() != 1 || options.keys.empty())
    return fail(kExitUsage, "usage: vlm-patch server sign SERVER_DIR --key FILE... [--expires-days N] [--rehash]");
  std::string error;
  const std::string& serverDir = args[0];
  PatchList list;
  if (!platform::isDirectory(serverDir.c_str())) return fail(kExitFailed, "no such directory: " + serverDir);
  if (!readServerPatchList(serverDir, &list, &error) || !vlmpatch::signRelease(serverDir, list, options, &error))
    return fail(kExitFailed, error);
  std::printf("signed %s: patches to %u, launcher %u, client %u, expires in %lu days\n", serverDir.c_str(),
              list.latestPatch, list.latestLauncher, list.latestClient, static_cast<unsigned long>(options.expiryDays));
  return kExitOk;
}

int runServerCheck(const Args& given) {
  Args args = given;
  std::vector<std::string> keyTexts;
  if (!takeRepeatedOption(args, "--public-key", &keyTexts) || args.size() != 1)
    return fail(kExitUsage, "usage: vlm-patch server check SERVER_DIR [--public-key HEX|KEYFILE]...");
  std::vector<update::PublicKey> keys;
  std::string error;
  for (const std::string& text : keyTexts) {
    update::PublicKey key;
    if (!parsePublicKeyArgument(text, &key, &error)) return fail(kExitUsage, error);
    keys.push_back(key);
  }
  const std::string& serverDir = args[0];
  if (!platform::isDirectory(serverDir.c_str())) return fail(kExitFailed, "no such directory: " + serverDir);
  PatchList list;
  if (!readServerPatchList(serverDir, &list, &error)) return fail(kExitFailed, error);
  std::string bytes, why;
  update::ReleaseRecord record;
  if (!platform::readSmallFile(joinPath(serverDir, update::kReleaseRecordName).c_str(), update::kMaxReleaseRecordSize,
                               &bytes))
    return fail(kExitFailed, std::string(update::kReleaseRecordName) + ": missing or above 1 MiB (unsigned server)");
  if (!update::decodeReleaseRecord(bytes, &record, &why)) return fail(kExitFailed, why);

  Problems problems;
  if (keys.empty()) {
    std::printf("signature: not checked (give --public-key)\n");
  } else if (!update::recordSignedBy(record, keys, &why)) {
    problems.add(why);
  }
  if (record.latestPatch != list.latestPatch || record.latestLauncher != list.latestLauncher ||
      record.latestClient != list.latestClient)
    problems.add("the record's numbers " + std::to_string(record.latestPatch) + "/" +
                 std::to_string(record.latestLauncher) + "/" + std::to_string(record.latestClient) +
                 " differ from patch.hpl's " + std::to_string(list.latestPatch) + "/" +
                 std::to_string(list.latestLauncher) + "/" + std::to_string(list.latestClient));
  std::uint64_t now = static_cast<std::uint64_t>(std::time(nullptr));
  if (record.expiresAt <= now)
    problems.add("the record expired; re-sign it with vlm-patch server sign");
  else
    std::printf("record: sequence %llu, expires in %llu hours\n", static_cast<unsigned long long>(record.sequence),
                static_cast<unsigned long long>((record.expiresAt - now) / 3600));
  checkExecutable(serverDir, "Start VLM.exe", list.latestLauncher, record.launcher, problems);
  checkExecutable(serverDir, "Kelda.exe", list.latestClient, record.client, problems);
  checkPatches(serverDir, record, problems);
  if (problems.count) return fail(kExitFailed, std::to_string(problems.count) + " problem(s) in " + serverDir);
  std::printf("%s: %u patches, launcher %u, client %u: every file matches the signed release\n", serverDir.c_str(),
              list.latestPatch, list.latestLauncher, list.latestClient);
  return kExitOk;
}

}  // namespace vlmpatch
