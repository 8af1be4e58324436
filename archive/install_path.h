// Whether a file name from a patch package stays inside the installation
// directory (the working directory). Packages come from the network, so a
// name must not reach elsewhere on the disk.
#pragma once

#include <string>

namespace archive {

// True for a relative name whose every component is ordinary: no leading
// separator (absolute, UNC "\\server\..." or device "\\.\" / "\\?\"), no
// drive or stream colon anywhere ("C:\x", "C:x", "a:b"), no ".." component
// (nor one Windows would read as "..": dots and blanks only), no reserved
// device name (CON, NUL, COM0-9, LPT0-9, and COM or LPT with a superscript
// 1, 2 or 3 in the ANSI code page or in UTF-8), no empty name. "\" and "/"
// both separate. This is the one rule for every name that a patch package or
// a patch archive brings.
bool isInstallRelativeName(const char* name);

// The name as Windows would look it up: parts in lower case without trailing
// dots and blanks, "." and empty parts dropped, joined by "/". Two names
// that give the same text are one file on Windows.
std::string windowsFoldedName(const std::string& name);

struct ArchiveSet;

// Whether a name from a patch or a patch archive denotes one of the files the
// launcher keeps open and writes itself: "data.idx", its temporary twin, or
// an archive of the set. Compared as Windows compares names (case, either
// separator, "." parts, trailing dots and blanks), so "game0.vfs." and
// ".\GAME0.VFS" count too. Writing or deleting such a file from a patch
// would cut or remove the archives under the index that lists them.
bool namesArchiveSetFile(const ArchiveSet& set, const char* name);

}  // namespace archive
