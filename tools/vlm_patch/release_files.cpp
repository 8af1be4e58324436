#include "tools/vlm_patch/release_files.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include "platform/file.h"
#include "platform/status.h"
#include "update/release_check.h"

namespace vlmpatch {

namespace {

// The present records of the server that verify under one of the keys,
// Windows first.
std::vector<update::ReleaseRecord> presentRecords(const std::string& serverDir,
                                                  const std::vector<update::PublicKey>& keys) {
  std::vector<update::ReleaseRecord> records;
  for (const update::PlatformFiles& files : update::kPlatformFiles) {
    update::ReleaseRecord record;
    std::string why;
    if (readReleaseRecord(serverDir, files, &record, &why) && update::recordSignedBy(record, keys, nullptr))
      records.push_back(record);
  }
  return records;
}

// The digest a record gives an executable that patch.hpl publishes as
// `version` (size 0 and zeros for version 0); the file must be there.
bool publishedDigest(const ServerChange& change, const update::PlatformFiles& files, const char* name, const char* what,
                     std::uint32_t version, update::FileDigest* digest, std::string* error) {
  *digest = update::FileDigest();
  if (version == 0) return true;
  std::string path = change.pathOf(name);
  if (!platform::pathExists(path.c_str())) {
    *error = "cannot sign: " + joinPath(change.directory(), name) + " is missing, but patch.hpl publishes the " +
             files.name + " " + what + " version " + std::to_string(version);
    return false;
  }
  return update::digestOfFile(path.c_str(), digest, error);
}

// The block k of a release of latestPatch patches, the first published
// being firstPatch.
bool hashBlock(const ServerChange& change, std::uint32_t k, std::uint32_t latestPatch, std::uint32_t firstPatch,
               std::uint32_t blockPatches, std::string* bytes, std::string* error) {
  std::uint32_t count = update::patchesInBlock(k, latestPatch, blockPatches);
  std::vector<update::FileDigest> patches(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint32_t n = k * blockPatches + i + 1;
    if (n < firstPatch) continue;  // not published by this server: size 0, zeros
    if (!update::digestOfFile(change.pathOf(patchArchiveName(n)).c_str(), &patches[i], error)) return false;
  }
  *bytes = update::encodePatchBlock(patches);
  return true;
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
  read.file = path;
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

std::string keyIdText(const update::PublicKey& key) {
  update::KeyId id = update::keyIdOf(key);
  return update::toHex(id.data(), id.size());
}

std::vector<SigningKey> signingKeys(const SignOptions& options) {
  std::vector<SigningKey> all;
  for (const std::vector<SigningKey>* list : {&options.keys, &options.newKeys}) {
    for (const SigningKey& key : *list) {
      bool known = false;
      for (const SigningKey& k : all) known = known || k.publicKey == key.publicKey;
      if (!known) all.push_back(key);
    }
  }
  return all;
}

bool serverIsSigned(const std::string& serverDir) {
  for (const update::PlatformFiles& files : update::kPlatformFiles)
    if (platform::pathExists(joinPath(serverDir, files.record).c_str())) return true;
  return false;
}

bool readReleaseRecord(const std::string& serverDir, const update::PlatformFiles& files, update::ReleaseRecord* record,
                       std::string* why) {
  std::string path = joinPath(serverDir, files.record), bytes;
  if (!platform::pathExists(path.c_str())) {
    *why = std::string(files.record) + ": missing";
    return false;
  }
  if (!platform::readSmallFile(path.c_str(), update::kMaxReleaseRecordSize, &bytes)) {
    *why = std::string(files.record) + ": cannot be read, or above 1 MiB: " + platform::lastSystemError();
    return false;
  }
  std::string reason;
  if (!update::decodeReleaseRecord(bytes, record, &reason)) {
    *why = std::string(files.record) + ": " + reason;
    return false;
  }
  return true;
}

bool checkSigningKeys(const std::string& serverDir, const SignOptions& options, std::string* error) {
  if (options.keys.empty() || !serverIsSigned(serverDir)) return true;
  const update::PlatformFiles& windows = update::filesOf(update::LauncherPlatform::kWindows);
  update::ReleaseRecord record;
  std::string why;
  if (!readReleaseRecord(serverDir, windows, &record, &why)) {
    *error = "the current release of " + serverDir + " cannot be read (" + why +
             "), so no key can be checked against it: give every key as --new-key FILE to sign the release afresh";
    return false;
  }
  std::string signers;
  for (const update::RecordSignature& signature : record.signatures)
    signers += (signers.empty() ? "" : ", ") + update::toHex(signature.keyId.data(), signature.keyId.size());
  for (const SigningKey& key : options.keys) {
    if (update::recordSignedBy(record, {key.publicKey}, nullptr)) continue;
    *error = "the key " + keyIdText(key.publicKey) + " (" + key.file + ") did not sign the current " + windows.record +
             " of " + serverDir + " (signed by " + signers +
             "): publish with a key that did, or, to add this key to the release (a key rotation), give it as "
             "--new-key " +
             key.file;
    return false;
  }
  return true;
}

namespace {

// Appends each key's signature of the body's SHA-256.
bool signBody(const std::string& body, const std::vector<SigningKey>& keys,
              std::vector<update::RecordSignature>* signatures, std::string* error) {
  update::Sha256Digest digest;
  if (!update::recordBodyDigest(body, &digest)) {
    *error = "the system's hash failed";
    return false;
  }
  for (const SigningKey& key : keys) {
    update::RecordSignature signature;
    signature.keyId = update::keyIdOf(key.publicKey);
    if (!platform::signP256(key.secret, key.publicKey.data(), digest.data(), signature.signature.data())) {
      *error = "signing failed";
      return false;
    }
    signatures->push_back(signature);
  }
  return true;
}

// Signs the new repair record, or the server's again, beside the release.
bool signRepairRecord(ServerChange& change, const update::ReleaseRecord& release, const std::vector<SigningKey>& keys,
                      const update::RepairRecord* fresh, std::string* error) {
  update::RepairRecord record;
  if (fresh) {
    record = *fresh;
  } else {
    const std::string path = joinPath(change.directory(), update::kRepairRecordName);
    if (!platform::pathExists(path.c_str())) return true;
    std::string bytes, why;
    if (!platform::readSmallFile(path.c_str(), update::kMaxRepairRecordSize, &bytes) ||
        !update::decodeRepairRecord(bytes, &record, &why)) {
      *error = path + ": cannot be read" + (why.empty() ? "" : ": " + why) +
               "; publish the repair set again (vlm-patch publish-repair-set)";
      return false;
    }
  }
  if (record.dataVersion > release.latestPatch) {
    *error = "the repair set is of version " + std::to_string(record.dataVersion) + ", above the latest patch " +
             std::to_string(release.latestPatch) + ": publish the release's patches first";
    return false;
  }
  record.sequence = release.sequence;
  record.expiresAt = release.expiresAt;
  record.signatures.clear();
  return signBody(update::encodeRepairRecordBody(record), keys, &record.signatures, error) &&
         change.put(update::kRepairRecordName, update::encodeRepairRecord(record), error);
}

}  // namespace

bool signRelease(ServerChange& change, const update::PatchList& list, std::uint32_t firstPatch,
                 const SignOptions& options, std::string* error) {
  const std::vector<SigningKey> keys = signingKeys(options);
  if (keys.empty() || keys.size() > update::kMaxRecordSignatures) {
    *error = "a release is signed by 1 to " + std::to_string(update::kMaxRecordSignatures) + " keys";
    return false;
  }
  std::vector<update::PublicKey> publicKeys;
  for (const SigningKey& key : keys) publicKeys.push_back(key.publicKey);
  const std::string& serverDir = change.directory();
  const std::vector<update::ReleaseRecord> previous = presentRecords(serverDir, publicKeys);

  update::ReleaseRecord shared;
  shared.latestPatch = list.latestPatch;
  shared.blockPatches = update::kDefaultBlockPatches;
  std::uint64_t now = options.now ? options.now : static_cast<std::uint64_t>(std::time(nullptr));
  shared.sequence = now;
  for (const update::ReleaseRecord& record : previous)
    if (record.sequence + 1 > shared.sequence) shared.sequence = record.sequence + 1;
  shared.expiresAt = now + options.expiryDays * 86400;

  std::uint32_t blocks = update::blockCountFor(list.latestPatch, shared.blockPatches);
  for (std::uint32_t k = 0; k < blocks; ++k) {
    std::uint32_t count = update::patchesInBlock(k, list.latestPatch, shared.blockPatches);
    std::string path = joinPath(serverDir, blockName(k)), present, bytes;
    update::Sha256Digest digest;
    bool read = platform::readSmallFile(path.c_str(), count * update::kFileDigestSize, &present) &&
                platform::sha256Of(present.data(), present.size(), digest.data());
    // A full block the present record vouches for, whose file still matches.
    if (read && !options.rehashAll && !previous.empty() && count == shared.blockPatches) {
      const update::ReleaseRecord& record = previous.front();
      if (record.blockPatches == shared.blockPatches && k < record.blockDigests.size() &&
          update::patchesInBlock(k, record.latestPatch, record.blockPatches) == count &&
          digest == record.blockDigests[k]) {
        shared.blockDigests.push_back(digest);
        continue;
      }
    }
    if (!hashBlock(change, k, list.latestPatch, firstPatch, shared.blockPatches, &bytes, error)) return false;
    if (!platform::sha256Of(bytes.data(), bytes.size(), digest.data())) {
      *error = "the system's hash failed";
      return false;
    }
    if (!(read && bytes == present) && !change.put(blockName(k), bytes, error)) return false;
    shared.blockDigests.push_back(digest);
  }

  for (const update::PlatformFiles& files : update::kPlatformFiles) {
    update::ReleaseRecord record = shared;
    const update::PublishedVersions& versions = list.of(files.platform);
    record.latestLauncher = versions.launcher;
    record.latestClient = versions.client;
    if (!publishedDigest(change, files, files.launcher, "launcher", versions.launcher, &record.launcher, error) ||
        !publishedDigest(change, files, files.client, "client", versions.client, &record.client, error))
      return false;
    if (!signBody(update::encodeRecordBody(record), keys, &record.signatures, error) ||
        !change.put(files.record, update::encodeReleaseRecord(record), error))
      return false;
  }
  return signRepairRecord(change, shared, keys, options.repair, error);
}

bool signRelease(const std::string& serverDir, const update::PatchList& list, const SignOptions& options,
                 std::string* error) {
  std::uint32_t first = 1;
  if (!readFirstPatch(serverDir, &first, error)) return false;
  ServerChange change(serverDir);
  return signRelease(change, list, first, options, error) && change.commit(error);
}

}  // namespace vlmpatch
