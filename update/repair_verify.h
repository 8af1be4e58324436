// Verifying an installation against a release's content list: which of the
// listed archive keys and loose files are damaged, missing or short, and
// which packs of the repair set hold them, so that a repair fetches only
// those packs.
//
// The installation is the working directory (the launcher's directory):
// the archive index as the archive layer loaded it, the archive files it
// names, the loose files by their names. Nothing is written and no link is
// followed; every file is opened for reading beside the launcher's own
// handles. Neither the content list nor the index is trusted to agree with
// the files: no read reaches outside a file and nothing is allocated by a
// size either gives, beyond the lists' own length.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "archive/index.h"
#include "update/repair_set.h"

namespace update {

// One listed item that the installation does not hold as the release does.
struct DamagedItem {
  bool isKey = true;
  std::uint32_t key = 0;  // a key's
  std::string name;       // a loose file's, as the list gives it
  std::uint32_t pack = 0;
  // Why, in a few words: "missing from the index", "size 10, the release
  // says 12", "digest differs", "archive GAME3.VFS missing", "archive
  // GAME3.VFS ends at 100, before the key's bytes end at 120", "the index
  // cannot be read", "file missing", "is a link", "is a directory", "is not
  // a plain file", "cannot be read: <the system's reason>".
  std::string reason;
};

struct VerifyOutcome {
  // The listed keys that are damaged, in the list's order, then the listed
  // files that are, in the list's order.
  std::vector<DamagedItem> damaged;
  // The packs that hold them, ascending, each once.
  std::vector<std::uint32_t> packs;
  // Bytes read and hashed, of keys and files together; the total the
  // progress counted up to.
  std::uint64_t bytesVerified = 0;
  std::uint64_t bytesToVerify = 0;
};

// Bytes done of the total: the bytes of the items left to read once the
// index and the archives' sizes are checked (the items these show damaged
// are not counted). An item found damaged before its bytes are read whole
// counts as done then. Called on the calling thread only, at most 258 times
// a run: with 0 first, then each time another 1/256 of the total is done,
// and with the total last (when the total is 0, once, with 0 and 0).
using VerifyProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct VerifyOptions {
  // Hashing threads; 0 takes twice the processors' count (at least 2, at
  // most 8), so that one hashes while another waits for the disk.
  unsigned workers = 0;
  VerifyProgress progress;  // may be empty
};

// Verifies every key and file of list against the installation:
//  - a key: index (nullptr when "data.idx" could not be read: every key is
//    then damaged, "the index cannot be read") lists it, the first entry of
//    it in set order (the one the archive layer uses) has the listed size,
//    its archive file is a plain file that holds the entry's bytes whole,
//    and those bytes have the listed SHA-256. The set's key lookup is used
//    when it is built (loadIndex builds it); else one is built here.
//  - a file: a plain file at the name (no link anywhere on its way, not a
//    directory) of the listed size whose bytes have the listed SHA-256.
// The archives are read front to back, each key's bytes in the order they
// lie, in large reads; the loose files likewise, each once. The hashing is
// spread over the workers, each with its own hash and a few MiB of buffer.
// A file that cannot be read at all is damage of the items it holds, with
// the system's reason; it ends nothing else.
VerifyOutcome verifyInstallation(const ContentList& list, const archive::ArchiveSet* index,
                                 const VerifyOptions& options = {});

}  // namespace update
