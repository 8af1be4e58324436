// The signed release files of a patch server directory, as vlm-patch writes
// and checks them: "release.rec" and the patch blocks "release-K.blk" (their
// layout is in update/release_record.h), and the operator's key files.
//
// A key file is text, created readable by its owner alone:
//   # vlm-patch release key: keep it secret, never on the patch server
//   private <64 hex digits: the scalar d>
//   public <128 hex digits: X and Y>
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/crypto.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/release_record.h"

namespace vlmpatch {

struct SigningKey {
  unsigned char secret[platform::kP256PrivateKeySize] = {};
  update::PublicKey publicKey{};
};

std::string formatSigningKey(const SigningKey& key);
// Reads a key file; false with the reason when it is not one, or when its
// private and public halves do not belong together.
bool readSigningKey(const std::string& path, SigningKey* key, std::string* error);

struct SignOptions {
  std::vector<SigningKey> keys;   // at least one
  std::uint64_t expiryDays = 30;  // the record expires this long after signing
  bool rehashAll = false;         // hash every patch again, even of full blocks
  std::uint64_t now = 0;          // Unix time of the signing; 0: the clock's
};

// Writes the blocks and the record that vouch for the server directory as it
// will be with `list`, signed with every key: the blocks first, the record
// last, each atomically. Blocks of 256 patches already vouched for by the
// present record (which must verify under one of the keys), whose file
// still matches it, are kept as they are; the others are hashed afresh, so a
// publish hashes at most one block's patches. The sequence is the present
// record's plus one, or the signing time when that is higher.
bool signRelease(const std::string& serverDir, const PatchList& list, const SignOptions& options, std::string* error);

// True when the server directory has a release record: publishing to it then
// needs a key, or the record would no longer match the patch list.
bool serverIsSigned(const std::string& serverDir);

}  // namespace vlmpatch
