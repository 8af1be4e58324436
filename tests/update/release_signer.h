// Signed releases for the flow tests: a server directory signed as vlm-patch
// signs it (the patch blocks and every platform's record), and records the
// tool would not write (one platform's alone, other block sizes, patches
// not published), to test the launcher against them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vlm_patch/release_files.h"
#include "update/release_record.h"
#include "update/server_files.h"

// A fresh operator's key.
vlmpatch::SigningKey freshSigningKey();

// Signs the server directory as vlm-patch does. now: Unix time of the
// signing, 0 for the clock's.
bool signServer(const std::string& serverDir, const std::vector<vlmpatch::SigningKey>& keys, std::uint64_t now,
                std::string* error);

// Writes platform's record from "release.rec": its patches, sequence and
// expiry, platform's versions from "patch.hpl" and the digests of
// platform's launcher and client on the server (size 0 and zeros for one
// the server lacks), signed with keys.
bool writePlatformRecord(const std::string& serverDir, update::LauncherPlatform platform,
                         const std::vector<vlmpatch::SigningKey>& keys, std::string* error);

// Signs record's body with each key (after the signatures it holds) and
// writes the whole record as serverDir/name.
bool writeSignedRecord(const std::string& serverDir, const std::string& name, update::ReleaseRecord record,
                       const std::vector<vlmpatch::SigningKey>& keys, std::string* error);

// Writes the blocks of a release of latestPatch patches, blockPatches a
// block, from the patches on the server; a patch below firstPublished gets
// size 0 and a digest of zeros ("not published by this release"). Returns
// the blocks' digests for the record, in order.
bool writeBlocks(const std::string& serverDir, std::uint32_t latestPatch, std::uint32_t blockPatches,
                 std::uint32_t firstPublished, std::vector<update::Sha256Digest>* digests, std::string* error);
