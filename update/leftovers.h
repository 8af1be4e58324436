// Temporary files that a run which ended half-way (a crash, a power cut, the
// window closed during a download, a killed process) leaves in the
// launcher's directory. Each pass removes them before it starts, and only
// them:
//
//   "<name>.part"     a download's temporary twin, for the download names of
//                     the launcher: "patch.hpl", "launcher.bin", "Kelda.bin",
//                     "<n>.rar" (n as the patch loop writes it, "%i"), both
//                     platforms' release records ("release.rec",
//                     "release-linux.rec": a launcher of an earlier version
//                     fetched "release.rec" on Linux too) and the patch
//                     blocks "release-<k>.blk" (k as "%u" writes it)
//   "release.rec", "release-linux.rec", "release-<k>.blk"
//                     a record or block fetched and not yet deleted: the pass
//                     reads them and deletes them at once
//   "data.idx.new"    the index's temporary file
//   "cver.v.new"      the version record's temporary file
//   "rseq.v.new"      the accepted sequence's temporary file
//   "Kelda.bin"       a new client that was never put in place
//   "launcher.bin"    a new launcher that the update program did not put in
//                     place, and the update program's own copy of it,
//                     "<launcher>.new" ("Start VLM.exe.new", "start-vlm.new");
//                     both are left alone while the update program runs (it
//                     may still be waiting to use them)
//
// Nothing else is touched: not the patch archives and packages themselves,
// not a name that merely looks alike ("notes.part", "a1.rar.part",
// "release-01.blk").
#pragma once

#include <string>

namespace update {

// Removes the leftovers above, each with a line in the trace. Does nothing
// (and says so) while another program holds an archive of the loaded set:
// another launcher or vlm-patch is at work in this directory, and its
// temporaries are not leftovers. Runs on the update worker, after loadIndex.
void removeLeftoversOfEarlierRuns();

// Whether a file name is the temporary twin of a numbered patch archive:
// an optional "-", 1 to 10 digits, ".rar.part", nothing more.
bool isPatchArchivePartName(const std::string& name);

// Whether a file name is a patch block or its temporary twin, as the launcher
// names them: "release-", a number as "%u" writes it (1 to 10 digits, no
// leading zero but "0" itself, at most 4294967295), ".blk", and ".part" or
// nothing after it.
bool isReleaseBlockLeftoverName(const std::string& name);

}  // namespace update
