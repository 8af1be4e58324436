#include "tools/vlm_patch/release_files.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include "platform/file.h"
#include "update/release_check.h"

namespace vlmpatch {

namespace {

std::string blockName(std::uint32_t k) {
  char name[32];
  std::snprintf(name, sizeof name, update::kReleaseBlockNameFormat, k);
  return name;
}

// The present record, when it decodes and verifies under one of the keys.
bool presentRecord(const std::string& serverDir, const std::vector<update::PublicKey>& keys,
                   update::ReleaseRecord* record) {
  std::string bytes;
  if (!platform::readSmallFile(joinPath(serverDir, update::kReleaseRecordName).c_str(), update::kMaxReleaseRecordSize,
                               &bytes))
    return false;
  return update::decodeReleaseRecord(bytes, record, nullptr) && update::recordSignedBy(*record, keys, nullptr);
}

// The executable's digest: size 0 and zeros when the server has none.
bool executableDigest(const std::string& serverDir, const char* name, update::FileDigest* digest, std::string* error) {
  std::string path = joinPath(serverDir, name);
  if (!platform::pathExists(path.c_str())) {
    *digest = update::FileDigest();
    return true;
  }
  return update::digestOfFile(path.c_str(), digest, error);
}

}  // namespace

std::string formatSigningKey(const SigningKey& key) {
  return "# vlm-patch release key: keep it secret, never on the patch server\nprivate " +
         update::toHex(key.secret, sizeof key.secret) + "\npublic " +
         update::toHex(key.publicKey.data(), key.publicKey.size()) + "\n";
}

bool readSigningKey(const std::string& path, SigningKey* key, std::string* error) {
  std::string text;
  if (!platform::readSmallFile(path.c_str(), 4096, &text)) {
    *error = "cannot read the key file " + path;
    return false;
  }
  std::istringstream lines(text);
  std::string line, privateHex, publicHex;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (line.compare(0, 8, "private ") == 0)
      privateHex = line.substr(8);
    else if (line.compare(0, 7, "public ") == 0)
      publicHex = line.substr(7);
    else {
      *error = path + ": not a vlm-patch key file";
      return false;
    }
  }
  std::vector<unsigned char> secret, publicKey;
  if (!update::fromHex(privateHex, &secret) || secret.size() != sizeof key->secret ||
      !update::fromHex(publicHex, &publicKey) || publicKey.size() != key->publicKey.size()) {
    *error = path + ": not a vlm-patch key file (a private and a public line in hex)";
    return false;
  }
  SigningKey read;
  std::copy(secret.begin(), secret.end(), read.secret);
  std::copy(publicKey.begin(), publicKey.end(), read.publicKey.begin());
  // A test signature proves the halves belong together.
  unsigned char digest[platform::kSha256Size] = {1}, signature[platform::kP256SignatureSize];
  if (!platform::signP256(read.secret, read.publicKey.data(), digest, signature) ||
      !platform::verifyP256(read.publicKey.data(), digest, signature)) {
    *error = path + ": the private and public keys do not belong together";
    return false;
  }
  *key = read;
  return true;
}

bool serverIsSigned(const std::string& serverDir) {
  return platform::pathExists(joinPath(serverDir, update::kReleaseRecordName).c_str());
}

bool signRelease(const std::string& serverDir, const PatchList& list, const SignOptions& options, std::string* error) {
  if (options.keys.empty() || options.keys.size() > update::kMaxRecordSignatures) {
    *error = "a release is signed by 1 to " + std::to_string(update::kMaxRecordSignatures) + " keys";
    return false;
  }
  std::vector<update::PublicKey> publicKeys;
  for (const SigningKey& key : options.keys) publicKeys.push_back(key.publicKey);
  update::ReleaseRecord previous;
  bool havePrevious = presentRecord(serverDir, publicKeys, &previous);

  update::ReleaseRecord record;
  record.latestPatch = list.latestPatch;
  record.latestLauncher = list.latestLauncher;
  record.latestClient = list.latestClient;
  record.blockPatches = update::kDefaultBlockPatches;
  std::uint64_t now = options.now ? options.now : static_cast<std::uint64_t>(std::time(nullptr));
  record.sequence = havePrevious && previous.sequence + 1 > now ? previous.sequence + 1 : now;
  record.expiresAt = now + options.expiryDays * 86400;
  if (!executableDigest(serverDir, "Start VLM.exe", &record.launcher, error) ||
      !executableDigest(serverDir, "Kelda.exe", &record.client, error))
    return false;

  std::uint32_t blocks = update::blockCountFor(list.latestPatch, record.blockPatches);
  for (std::uint32_t k = 0; k < blocks; ++k) {
    std::uint32_t count = update::patchesInBlock(k, list.latestPatch, record.blockPatches);
    // A full block the present record vouches for, whose file still matches.
    if (!options.rehashAll && havePrevious && previous.blockPatches == record.blockPatches &&
        k < previous.blockDigests.size() && count == record.blockPatches &&
        update::patchesInBlock(k, previous.latestPatch, previous.blockPatches) == count) {
      std::string bytes;
      update::Sha256Digest digest;
      if (platform::readSmallFile(joinPath(serverDir, blockName(k)).c_str(), count * update::kFileDigestSize, &bytes) &&
          platform::sha256Of(bytes.data(), bytes.size(), digest.data()) && digest == previous.blockDigests[k]) {
        record.blockDigests.push_back(digest);
        continue;
      }
    }
    std::vector<update::FileDigest> patches(count);
    for (std::uint32_t i = 0; i < count; ++i) {
      std::uint32_t n = k * record.blockPatches + i + 1;
      if (!update::digestOfFile(joinPath(serverDir, std::to_string(n) + ".rar").c_str(), &patches[i], error))
        return false;
    }
    std::string bytes = update::encodePatchBlock(patches);
    update::Sha256Digest digest;
    if (!platform::sha256Of(bytes.data(), bytes.size(), digest.data()) ||
        !placeBytesAtomically(serverDir, blockName(k), bytes, error))
      return false;
    record.blockDigests.push_back(digest);
  }

  update::Sha256Digest digest;
  if (!update::recordBodyDigest(update::encodeRecordBody(record), &digest)) {
    *error = "the system's hash failed";
    return false;
  }
  for (const SigningKey& key : options.keys) {
    update::RecordSignature signature;
    signature.keyId = update::keyIdOf(key.publicKey);
    if (!platform::signP256(key.secret, key.publicKey.data(), digest.data(), signature.signature.data())) {
      *error = "signing failed";
      return false;
    }
    record.signatures.push_back(signature);
  }
  return placeBytesAtomically(serverDir, update::kReleaseRecordName, update::encodeReleaseRecord(record), error);
}

}  // namespace vlmpatch
