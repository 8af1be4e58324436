// The signed release during one update pass: a launcher built with the
// operator's keys fetches the release record right after "patch.hpl",
// accepts it only when it passes every check of update/release_check.h, and
// then takes from the patch server only files whose size and SHA-256 the
// record (or one of its patch blocks) gives. A launcher built without keys
// verifies nothing, as before, and says so once in the trace.
//
// Everything here belongs to the update worker alone; no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/release_record.h"

namespace update {

// Whether this launcher checks releases: it was built with keys (or a test
// gave it some).
bool releaseChecksOn();

// Keyed builds: fetches this platform's record (update/server_files.h:
// "release.rec", "release-linux.rec"), at most largestReleaseRecordSize of
// the list's latestPatch, from the patch server at baseUrl,
// which must be the server that served the "patch.hpl" just read (a list
// and a record from two servers are never judged together), checks it
// against the list's numbers, the sequence accepted before ("rseq.v") and
// the clock, and keeps it for the pass; a higher sequence is recorded.
// False, with the reason in the trace, when any of that fails: the pass
// must then take nothing on that server's word. Builds without keys: true,
// and nothing is fetched.
bool acceptRelease(const std::string& baseUrl);
// The same from the server that served the last good download
// (currentPatchServer(), update/download.h): the one that served the list.
bool acceptRelease();

// What a server file must be, for downloadFile: nullptr in a build without
// keys (nothing is checked), else a digest of the accepted release.
const FileDigest* expectedLauncher();
const FileDigest* expectedClient();
// Patch n's digest, fetching and checking its block the first time the
// pass needs it (from any patch server: the record names its digest).
// False (a failed download, the reason in the trace) when the block cannot
// be had from any server, or when its digest for n is zero (size 0, SHA-256
// zeros: the release does not publish patch n, which is then never
// fetched); *digest is nullptr in a build without keys.
bool expectedPatch(std::uint32_t n, const FileDigest** digest);

// The release accepted in this pass, or nullptr (none yet, or a build
// without keys), and the keys this launcher checks with: the build's, or in
// a test build those a test gave.
const ReleaseRecord* acceptedReleaseRecord();
const std::vector<PublicKey>& checkingKeys();

// Forgets the accepted release, and that the trace said a build without
// keys verifies nothing (a new process as far as this layer knows; tests run
// many passes in one process).
void resetAcceptedRelease();

}  // namespace update
