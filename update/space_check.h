// Room on the installation's volume before the patch loop writes much.
//
// Before patch n is downloaded, in a launcher with a verified release (the
// only time its size is known beforehand: the signed size of "<n>.rar"), the
// room must hold spaceToFetchPatch of that size:
//   - the patch archive itself, rounded up to whole blocks;
//   - the package extracted from it beside it, taken as big again (patch
//     archives are stored RARs: the package is the archive's one entry); it
//     stays while the items are applied, and the items' data, about as big
//     once more, takes the archive's room after the archive is deleted;
//   - the index rewrite: the present index again, rounded up to whole blocks
//     (its temporary file lies beside it until it replaces it).
// A launcher without keys learns a patch's size only as it arrives: it
// checks only before the application, where archive::spaceToApply counts
// the package's own items (archive/patch_apply.h).
//
// A block is archive::kSpaceBlock. Too little room stops the loop with the
// "FAIL_SPACE" box, whose text gives the room still missing
// (core::formatByteSize), and a trace line with both figures; nothing is
// downloaded or applied then and the installed version stays.
#pragma once

#include <cstdint>
#include <string>

namespace update {

// The room fetching, extracting and applying a patch archive of
// archiveSize bytes takes, with an index of indexSize bytes.
std::uint64_t spaceToFetchPatch(std::uint64_t archiveSize, std::uint64_t indexSize);

// Measures the room on the volume of the launcher's directory against
// needed for a step ("download 11.rar"). False, with the trace line ("Not
// enough free disk space to download 11.rar: 409600 bytes needed, 102400
// free.") and
// the room missing in *missing, when it is too small. When the system
// cannot say, the trace says why and the answer is true: a disk that fills
// is still met cleanly by the step itself.
bool roomFor(const char* step, std::uint64_t needed, std::uint64_t* missing);

// The "FAIL_SPACE" text with the missing room filled in: "Not enough free
// disk space: 1.5 MB more needed."
std::string spaceFailureText(std::uint64_t missing);

// Shows it in the loop's failure box (no owner window, empty caption).
void showSpaceFailure(std::uint64_t missing);

}  // namespace update
