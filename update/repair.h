// Repairing the installation from the patch server's repair set
// (update/repair_set.h), in a launcher built with the operator's keys: the
// launcher verifies every key and loose file of the release against the
// signed content list and fetches only the packs that hold what is damaged,
// missing or short, checks each against its signed size and SHA-256, and
// applies it as a patch package; the installation then equals the release,
// its index carries the release's version, and the pass goes on with the
// patches above it.
//
// Crash safety: "repair.v" beside the launcher (one byte) says a repair is
// under way. It is written before the repair changes anything and removed
// once the index carries the release's version; a run that finds it repairs
// again, whatever the quick check says. Each pack's items are whole in the
// archives (or the files) before the index that lists them is written, so a
// repair killed at any point loses nothing: the next one verifies again and
// fetches what is still missing.
//
// Versions: an installation above the repair set's version is first given
// that version (its index written), so that if the repair stops half-way the
// patches above it are applied again over whatever was repaired; one below
// it keeps its own until the repair is whole. Keys the index holds that the
// release does not are left alone: no one looks them up.
//
// What the player sees: the status line "Checking the game files. N%" while
// verifying and "Repairing the game files. N%" while the packs come (the
// upper bar follows each download, the lower one the verification and then
// the packs), and "The game files are repaired." at the end. The trace names
// every damaged item (or, when the index cannot be read, says so once for
// all its keys) and every pack fetched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace update {

constexpr const char* kRepairPendingName = "repair.v";
// The repair's local files beside the launcher, removed when it is done
// with them.
constexpr const char* kRepairRecordLocal = "repair.rec";
constexpr const char* kRepairListLocal = "repair.lst";
constexpr const char* kRepairPackLocal = "repair.rar";

// Why a repair runs.
enum class RepairReason {
  kIndexUnreadable,   // "data.idx" could not be read
  kQuickCheckFailed,  // an archive is missing or shorter than its entries
  kPlayerAsked,       // the launcher was started with the word below
  kUnfinished,        // "repair.v": an earlier repair did not end
};

// The command-line word that asks for a repair (a player can put it on a
// shortcut: "Start VLM.exe" --repair).
constexpr const char* kRepairWord = "--repair";

// Whether the launcher's command-line words (after the program's name) ask
// for a repair: one of them is kRepairWord. Other words are passed over.
bool asksForRepair(const std::vector<std::string>& words);
// What the command line asked, set once at start, before the update worker
// starts; read by the update pass.
void setRepairAsked(bool asked);
bool repairAsked();

enum class RepairResult {
  kNoRepairSet,     // no keys, no accepted release, or no repair set on the
                    // patch servers: the pass goes on as if none was asked for
  kRepaired,        // the installation equals the release, at its version
  kFailedDownload,  // a file of the repair set could not be had or was not
                    // the one signed: what was repaired stays repaired
  kFailedExtract,   // a pack could not be extracted or applied, or the index
                    // could not be written
  kNoSpace,         // too little room for a pack: the "FAIL_SPACE" box was
                    // shown (update/space_check.h)
};

// Whether a repair is under way from an earlier run ("repair.v").
bool repairUnfinished();

// Runs a repair against the release accepted in this pass
// (acceptedReleaseRecord()). Sets archive::installedVersion to the version
// the installation has afterwards. Runs on the update worker.
RepairResult repairInstallation(RepairReason reason);

const char* describeRepairReason(RepairReason reason);

}  // namespace update
