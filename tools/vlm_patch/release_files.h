// The signed release files of a patch server directory, as vlm-patch writes
// and checks them: each platform's record ("release.rec" for Windows,
// "release-linux.rec" for Linux: update/server_files.h) and the patch blocks
// "release-K.blk" they share (their layout is in update/release_record.h),
// and the operator's key files.
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
#include "update/patch_list.h"
#include "update/release_record.h"
#include "update/repair_set.h"
#include "update/server_files.h"

namespace vlmpatch {

struct SigningKey {
  unsigned char secret[platform::kP256PrivateKeySize] = {};
  update::PublicKey publicKey{};
  std::string file;  // where it was read from, for messages
};

std::string formatSigningKey(const SigningKey& key);
// Reads a key file; false with the reason when it is not one, or when its
// private and public halves do not belong together.
bool readSigningKey(const std::string& path, SigningKey* key, std::string* error);
// The key's id in hex (16 digits), as records and texts name it.
std::string keyIdText(const update::PublicKey& key);

struct SignOptions {
  // "--key FILE": keys that signed the server's current release already.
  std::vector<SigningKey> keys;
  // "--new-key FILE": keys that sign from this release on (a rotation).
  std::vector<SigningKey> newKeys;
  std::uint64_t expiryDays = 30;  // the records expire this long after signing
  bool rehashAll = false;         // hash every patch again, even of full blocks
  std::uint64_t now = 0;          // Unix time of the signing; 0: the clock's
  // A repair set published with this signing (publish-repair-set): its
  // record, unsigned. Without one, a repair record the server has is signed
  // again with the new sequence and expiry.
  const update::RepairRecord* repair = nullptr;
};

// Every key that signs (keys, then new keys), each once.
std::vector<SigningKey> signingKeys(const SignOptions& options);

// True when the server directory has a release record of either platform:
// publishing to it then needs a key, or the records would no longer match
// the patch list.
bool serverIsSigned(const std::string& serverDir);

// Reads and decodes a platform's record in the server directory; false with
// the reason ("missing", "above 1 MiB", a malformed record) otherwise.
bool readReleaseRecord(const std::string& serverDir, const update::PlatformFiles& files, update::ReleaseRecord* record,
                       std::string* why);

// The check before a signed change: each key of options.keys must have a
// signature that verifies on the server's current "release.rec", so that
// a publish cannot silently go out under a key the players' launchers do
// not trust. New keys are not checked. A server with no record takes any
// key; a record that cannot be read takes new keys alone. False with the
// reason (the key's id and what to do) otherwise.
bool checkSigningKeys(const std::string& serverDir, const SignOptions& options, std::string* error);

// Stages into change the blocks and both platforms' records that vouch for
// the server directory as the change leaves it with `list`, signed with
// every key; the change puts them in place. Patches below firstPatch are
// not published: their entries are size 0 and zeros. A platform whose
// launcher or client patch.hpl does not publish (version 0) has size 0 and
// zeros for it; one it publishes must be present. Blocks of 256 patches that
// the present record vouches for (it must verify under one of the keys) and
// whose file still matches are kept as they are, and a block whose bytes do
// not change is not written again; the others are hashed afresh, so a
// publish hashes at most one block's patches. Both records carry the same
// latestPatch, sequence, expiry and blocks; the sequence is the present
// records' highest plus one, or the signing time when that is higher. The
// repair record (options.repair, or the server's "repair.rec") is signed
// with the same sequence and expiry, so launchers take it beside this
// release alone; a server's repair record that cannot be read fails the
// signing (publish the repair set again).
bool signRelease(ServerChange& change, const update::PatchList& list, std::uint32_t firstPatch,
                 const SignOptions& options, std::string* error);
// The same as a change of its own, committed: the server directory signed
// as it is with `list`, from the first patch it publishes on. No key is
// checked against the present records (checkSigningKeys does that).
bool signRelease(const std::string& serverDir, const update::PatchList& list, const SignOptions& options,
                 std::string* error);

}  // namespace vlmpatch
