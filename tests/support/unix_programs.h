// The Unix programs a test starts beside itself (nginx, stand-in servers):
// a directory both sides can name, and, under Wine, the start itself.
//
// Under Wine the test cannot fork a Linux program, but Wine starts Unix
// executables through CreateProcess. Such a program names files by their
// Unix paths, so what both sides share lies under Z:\tmp, Wine's view of
// /tmp.
#pragma once

#include <string>

// A fresh directory "<stem>-<stamp>-<n>" under the temporary directory that a
// Unix program can name too, as this process names it; not yet created.
std::string freshSharedDirectory(const std::string& stem);

// A path of this process (on Windows one under Z:) as a Unix program names it.
std::string unixPathOf(const std::string& path);

#if defined(_WIN32)
// Starts a Unix program, "/absolute/program argument...", with no handle of
// ours; false when it cannot be started.
bool startUnixProgram(std::string commandLine);
#endif
