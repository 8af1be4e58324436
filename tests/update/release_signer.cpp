#include "release_signer.h"

#include <cstdio>
#include <filesystem>

#include "platform/crypto.h"
#include "platform/file.h"
#include "support/temp_dir.h"
#include "update/patch_list.h"
#include "update/release_check.h"

namespace fs = std::filesystem;

namespace {

std::string pathOf(const std::string& dir, const std::string& name) { return (fs::path(dir) / name).string(); }

bool digestOrNothing(const std::string& path, update::FileDigest* digest, std::string* error) {
  *digest = update::FileDigest();
  return !fileExists(path) || update::digestOfFile(path.c_str(), digest, error);
}

}  // namespace

vlmpatch::SigningKey freshSigningKey() {
  vlmpatch::SigningKey key;
  platform::generateP256(key.secret, key.publicKey.data());
  return key;
}

bool writeSignedRecord(const std::string& serverDir, const std::string& name, update::ReleaseRecord record,
                       const std::vector<vlmpatch::SigningKey>& keys, std::string* error) {
  update::Sha256Digest digest;
  if (!update::recordBodyDigest(update::encodeRecordBody(record), &digest)) {
    *error = "the system's hash failed";
    return false;
  }
  for (const vlmpatch::SigningKey& key : keys) {
    update::RecordSignature signature;
    signature.keyId = update::keyIdOf(key.publicKey);
    if (!platform::signP256(key.secret, key.publicKey.data(), digest.data(), signature.signature.data())) {
      *error = "signing failed";
      return false;
    }
    record.signatures.push_back(signature);
  }
  writeWholeFile(pathOf(serverDir, name), update::encodeReleaseRecord(record));
  return true;
}

bool writePlatformRecord(const std::string& serverDir, update::LauncherPlatform platform,
                         const std::vector<vlmpatch::SigningKey>& keys, std::string* error) {
  update::ReleaseRecord record;
  if (!update::decodeReleaseRecord(readWholeFile(pathOf(serverDir, update::kReleaseRecordName)), &record, error))
    return false;
  const std::string listBytes = readWholeFile(pathOf(serverDir, "patch.hpl"));
  update::PatchList list;
  update::decodePatchList(reinterpret_cast<const unsigned char*>(listBytes.data()), listBytes.size(), &list);
  const update::PlatformFiles& files = update::filesOf(platform);
  record.latestLauncher = list.of(platform).launcher;
  record.latestClient = list.of(platform).client;
  if (!digestOrNothing(pathOf(serverDir, files.launcher), &record.launcher, error) ||
      !digestOrNothing(pathOf(serverDir, files.client), &record.client, error))
    return false;
  record.signatures.clear();
  return writeSignedRecord(serverDir, files.record, record, keys, error);
}

bool signServer(const std::string& serverDir, const std::vector<vlmpatch::SigningKey>& keys, std::uint64_t now,
                std::string* error) {
  vlmpatch::SignOptions options;
  options.keys = keys;
  options.now = now;
  vlmpatch::PatchList list;
  return vlmpatch::readServerPatchList(serverDir, &list, error) &&
         vlmpatch::signRelease(serverDir, list, options, error);
}

bool writeBlocks(const std::string& serverDir, std::uint32_t latestPatch, std::uint32_t blockPatches,
                 std::uint32_t firstPublished, std::vector<update::Sha256Digest>* digests, std::string* error) {
  digests->clear();
  for (std::uint32_t k = 0; k < update::blockCountFor(latestPatch, blockPatches); ++k) {
    std::vector<update::FileDigest> patches(update::patchesInBlock(k, latestPatch, blockPatches));
    for (std::uint32_t i = 0; i < patches.size(); ++i) {
      const std::uint32_t n = k * blockPatches + i + 1;
      if (n >= firstPublished &&
          !update::digestOfFile(pathOf(serverDir, std::to_string(n) + ".rar").c_str(), &patches[i], error))
        return false;
    }
    const std::string bytes = update::encodePatchBlock(patches);
    update::Sha256Digest digest;
    platform::sha256Of(bytes.data(), bytes.size(), digest.data());
    char name[32];
    std::snprintf(name, sizeof name, update::kReleaseBlockNameFormat, k);
    writeWholeFile(pathOf(serverDir, name), bytes);
    digests->push_back(digest);
  }
  return true;
}
