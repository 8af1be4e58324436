// What a launcher built with the operator's public keys checks before it
// uses anything from the patch server: the release record's signature, that
// it speaks of the release "patch.hpl" announces, that it is no older than
// the newest one this installation accepted (a replayed old release) and
// that it has not expired (a server frozen at an old release); then each
// file against the size and SHA-256 the record gives it.
//
// The highest accepted sequence lives in "%s\rseq.v" beside "cver.v":
// 8 bytes, the u64 sequence, little-endian, replaced whole: written as
// "rseq.v.new" first, then renamed over it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/release_record.h"

namespace update {

constexpr const char* kSequenceFileName = "rseq.v";
constexpr const char* kSequenceFileTempName = "rseq.v.new";

// The keys this build trusts: the build setting VLM_TRUSTED_KEYS, a list of
// public keys in hex (128 digits each) separated by ",". Empty in a build
// made without keys, which verifies nothing and says so once in the trace.
const std::vector<PublicKey>& trustedKeys();

// Reads such a list; false with the reason on a malformed entry.
bool parsePublicKeyList(const std::string& text, std::vector<PublicKey>* keys, std::string* why);

// The numbers of "patch.hpl", which the record must repeat.
struct PublishedNumbers {
  std::uint32_t latestPatch = 0;
  std::uint32_t latestLauncher = 0;
  std::uint32_t latestClient = 0;
};

// True when one of the signatures is a valid signature of the body (its
// SHA-256) by one of the keys (a key is found by its id); false with the
// reason, after what ("record: signature does not verify").
bool bodySignedBy(const std::string& body, const std::vector<RecordSignature>& signatures,
                  const std::vector<PublicKey>& keys, const char* what, std::string* why);
// The same for a release record's body and signatures.
bool recordSignedBy(const ReleaseRecord& record, const std::vector<PublicKey>& keys, std::string* why);

// Every check of a fetched record, in this order: signature, the numbers of
// "patch.hpl", the sequence (not below highestAccepted), the expiry (after
// now, Unix seconds). False with the reason of the first that fails.
bool checkReleaseRecord(const ReleaseRecord& record, const std::vector<PublicKey>& keys,
                        const PublishedNumbers& published, std::uint64_t highestAccepted, std::uint64_t now,
                        std::string* why);

// The size and SHA-256 of the file at path, read once in bounded pieces;
// false with the reason when it cannot be read. With head, the same read
// also keeps the file's first headLimit bytes (fewer when it is shorter), so
// a caller can judge the very bytes it hashed.
bool digestOfFile(const char* path, FileDigest* digest, std::string* why, std::string* head = nullptr,
                  std::size_t headLimit = 0);

// Whether the file at path holds exactly size bytes with that SHA-256; false
// with the reason ("size 1001, the release says 1000") otherwise.
bool fileMatchesDigest(const char* path, const FileDigest& expected, std::string* why);

// "%s\rseq.v": 0 when missing, or when it is not exactly 8 bytes long,
// which the trace then says ("rseq.v is 5 bytes long, not 8: read as
// sequence 0, ...").
std::uint64_t readAcceptedSequence();
// Replaces it whole; false when it could not be written.
bool writeAcceptedSequence(std::uint64_t sequence);

}  // namespace update
