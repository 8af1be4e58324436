// Temporary files that a run which ended half-way (a crash, a power cut, the
// window closed during a download) leaves in the launcher's directory. Each
// pass removes them before it starts, and only them:
//
//   "<name>.part"     a download's temporary twin, for the download names of
//                     the launcher: "patch.hpl", "launcher.bin", "Kelda.bin"
//                     and "<n>.rar" (n as the patch loop writes it, "%i")
//   "data.idx.new"    the index's temporary file
//   "cver.v.new"      the version record's temporary file
//   "Kelda.bin"       a new client that was never put in place
//   "launcher.bin"    a new launcher that the update program did not put in
//                     place; left alone while the update program runs (it
//                     may still be waiting to use it)
//
// Nothing else is touched: not the patch archives and packages themselves,
// not a name that merely looks alike ("notes.part", "a1.rar.part").
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

}  // namespace update
