#include "update/release_check.h"

#include <algorithm>
#include <cstring>

#include "archive/byte_order.h"
#include "core/log.h"
#include "core/paths.h"
#include "platform/crypto.h"
#include "platform/file.h"

#ifndef VLM_TRUSTED_KEYS
#define VLM_TRUSTED_KEYS ""
#endif

namespace update {

namespace {

bool fail(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return false;
}

std::string sequenceFilePath() { return core::exeDirectory() + "\\" + kSequenceFileName; }
std::string sequenceTempPath() { return core::exeDirectory() + "\\" + kSequenceFileTempName; }

}  // namespace

bool parsePublicKeyList(const std::string& text, std::vector<PublicKey>* keys, std::string* why) {
  std::vector<PublicKey> parsed;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    std::string entry = text.substr(start, end - start);
    // Blanks around an entry are the build file's, not the key's.
    while (!entry.empty() && (entry.back() == ' ' || entry.back() == '\n')) entry.pop_back();
    while (!entry.empty() && (entry.front() == ' ' || entry.front() == '\n')) entry.erase(0, 1);
    if (!entry.empty()) {
      std::vector<unsigned char> bytes;
      if (!fromHex(entry, &bytes) || bytes.size() != 64)
        return fail(why, "trusted key " + std::to_string(parsed.size() + 1) + ": not 128 hex digits");
      PublicKey key;
      std::memcpy(key.data(), bytes.data(), key.size());
      parsed.push_back(key);
    }
    start = end + 1;
  }
  *keys = std::move(parsed);
  return true;
}

const std::vector<PublicKey>& trustedKeys() {
  // A malformed list is a build error (see the top CMakeLists); at run time
  // it can only be empty or whole.
  static const std::vector<PublicKey> keys = [] {
    std::vector<PublicKey> parsed;
    parsePublicKeyList(VLM_TRUSTED_KEYS, &parsed, nullptr);
    return parsed;
  }();
  return keys;
}

bool bodySignedBy(const std::string& body, const std::vector<RecordSignature>& signatures,
                  const std::vector<PublicKey>& keys, const char* what, std::string* why) {
  Sha256Digest digest;
  if (!recordBodyDigest(body, &digest)) return fail(why, std::string(what) + ": the system's hash failed");
  bool knownKey = false;
  for (const RecordSignature& signature : signatures) {
    for (const PublicKey& key : keys) {
      if (keyIdOf(key) != signature.keyId) continue;
      knownKey = true;
      if (platform::verifyP256(key.data(), digest.data(), signature.signature.data())) return true;
    }
  }
  return fail(why, std::string(what) + (knownKey ? ": signature does not verify" : ": signed by no trusted key"));
}

bool recordSignedBy(const ReleaseRecord& record, const std::vector<PublicKey>& keys, std::string* why) {
  return bodySignedBy(encodeRecordBody(record), record.signatures, keys, "record", why);
}

bool checkReleaseRecord(const ReleaseRecord& record, const std::vector<PublicKey>& keys,
                        const PublishedNumbers& published, std::uint64_t highestAccepted, std::uint64_t now,
                        std::string* why) {
  if (!recordSignedBy(record, keys, why)) return false;
  if (record.latestPatch != published.latestPatch || record.latestLauncher != published.latestLauncher ||
      record.latestClient != published.latestClient)
    return fail(why, "record: numbers " + std::to_string(record.latestPatch) + "/" +
                         std::to_string(record.latestLauncher) + "/" + std::to_string(record.latestClient) +
                         " differ from the patch list's " + std::to_string(published.latestPatch) + "/" +
                         std::to_string(published.latestLauncher) + "/" + std::to_string(published.latestClient));
  if (record.sequence < highestAccepted)
    return fail(why, "record: sequence " + std::to_string(record.sequence) + " is older than the accepted " +
                         std::to_string(highestAccepted));
  if (record.expiresAt <= now)
    return fail(why, "record: expired at " + std::to_string(record.expiresAt) + ", now " + std::to_string(now));
  return true;
}

bool digestOfFile(const char* path, FileDigest* digest, std::string* why, std::string* head, std::size_t headLimit) {
  platform::File file(platform::openFileForReading(path));
  if (!file) return fail(why, std::string(path) + ": cannot be read");
  if (head) head->clear();
  platform::Sha256 hash;
  std::vector<unsigned char> buffer(1 << 20);
  std::uint64_t offset = 0;
  bool ok = hash.ready();
  while (ok) {
    std::int64_t got = platform::readFileAt(file.get(), offset, buffer.data(), buffer.size());
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    if (head && head->size() < headLimit) {
      std::size_t keep = std::min(headLimit - head->size(), static_cast<std::size_t>(got));
      head->append(reinterpret_cast<const char*>(buffer.data()), keep);
    }
    ok = hash.update(buffer.data(), static_cast<std::size_t>(got));
    offset += static_cast<std::uint64_t>(got);
  }
  file.reset();
  if (!ok || !hash.finish(digest->sha256.data())) return fail(why, std::string(path) + ": read error");
  digest->size = offset;
  return true;
}

bool fileMatchesDigest(const char* path, const FileDigest& expected, std::string* why) {
  FileDigest actual;
  if (!digestOfFile(path, &actual, why)) return false;
  if (actual.size > expected.size)
    return fail(why, std::string(path) + ": longer than the release's " + std::to_string(expected.size) + " bytes");
  if (actual.size < expected.size)
    return fail(why, std::string(path) + ": size " + std::to_string(actual.size) + ", the release says " +
                         std::to_string(expected.size));
  if (actual.sha256 != expected.sha256)
    return fail(why, std::string(path) + ": SHA-256 " + toHex(actual.sha256.data(), actual.sha256.size()) +
                         ", the release says " + toHex(expected.sha256.data(), expected.sha256.size()));
  return true;
}

std::uint64_t readAcceptedSequence() {
  platform::File file(platform::openFileForReading(sequenceFilePath().c_str()));
  if (!file) return 0;
  // One byte more than the record holds: a longer file is no record either.
  unsigned char bytes[9];
  std::int64_t got = platform::readFileAt(file.get(), 0, bytes, sizeof bytes);
  if (got == 8) return archive::getU64(bytes);
  std::uint64_t size = 0;
  std::string what =
      got >= 0 && platform::getFileSize(file.get(), &size) ? std::to_string(size) + " bytes long, not 8" : "unreadable";
  // Without a sequence the pass cannot tell a replayed older release from a
  // new one; the record it accepts writes a whole file again.
  core::debugLog("%s is %s: read as sequence 0, so no older release is refused on this pass.", kSequenceFileName,
                 what.c_str());
  return 0;
}

bool writeAcceptedSequence(std::uint64_t sequence) {
  std::string path = sequenceFilePath(), temporary = sequenceTempPath();
  std::string bytes;
  archive::putU64(bytes, sequence);
  platform::FileHandle file = platform::createFile(temporary.c_str());
  if (file == platform::kNoFile) return false;
  bool ok = platform::writeFileAt(file, 0, bytes.data(), bytes.size()) && platform::flushFileToDisk(file);
  platform::closeFile(file);
  if (!ok || !platform::replaceFileAtomically(temporary.c_str(), path.c_str())) {
    platform::deleteFile(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace update
