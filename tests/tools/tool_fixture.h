// Building blocks for the operator tool's tests: small installations and
// manifests in a temporary directory, and what an installation holds.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/vlm_patch/commands.h"

namespace vlmpatch {

// Runs a vlm-patch command in-process ("publish", {dir, file}); returns its
// exit code. The working directory is restored afterwards.
int runTool(const std::string& command, const Args& args);

// key -> stored bytes, read through data.idx of the installation at dir.
std::map<std::uint32_t, std::string> installationContents(const std::string& dir);

// Writes a manifest storing each (key, bytes) pair from files next to it.
void writeStoreManifest(const std::string& path, const std::map<std::uint32_t, std::string>& files,
                        const std::string& extraLines = "");

// Text of a byte string, for repeated content of a given size.
std::string bytesOf(std::size_t size, char seed);

// An installation, or a studio's release laid out as one, to write to disk:
// archives in index order, each holding its (key, bytes) back to back in the
// order given (with `gap` unreferenced bytes before each, as replaced files
// leave), and loose files whose names take either separator, both making
// directories.
struct ArchiveContents {
  std::string name;
  std::vector<std::pair<std::uint32_t, std::string>> files;
  std::size_t gap = 0;
};

struct ReleaseSpec {
  std::uint32_t version = 0;
  std::vector<ArchiveContents> archives;
  std::map<std::string, std::string> files;
};

void writeRelease(const std::string& dir, const ReleaseSpec& release);

// Every regular file under dir but data.idx and the archives its index
// lists, by name relative to dir with "\" between the parts, and its bytes.
std::map<std::string, std::string> looseFilesOf(const std::string& dir);

// The package files ("N.dat") of a directory in number order, and their types.
std::vector<std::pair<std::string, int>> packagesIn(const std::string& dir);

// A Windows program's headers alone, as publish-launcher and server check
// read them: a DOS header whose e_lfanew points at "PE\0\0" and the machine,
// then filler up to size bytes (the filler's seed makes two programs differ).
std::string windowsProgram(std::size_t size = 1024, char seed = 'w');

// A real Linux program (ELF) of this build, for publishing as a Linux
// launcher or client: "" in the Windows tree, which has none.
std::string linuxProgramPath();

// Every file under dir, hidden ones too, by name relative to dir ("/"
// between parts), with its bytes: a directory compared byte for byte.
std::map<std::string, std::string> directorySnapshot(const std::string& dir);
// What differs between two snapshots, one name a line ("+ new", "- gone",
// "~ changed"); "" when they are the same.
std::string snapshotDifference(const std::map<std::string, std::string>& before,
                               const std::map<std::string, std::string>& after);

// The standard error a call prints, with its result.
template <class Call>
std::string stderrOf(Call call) {
  ::testing::internal::CaptureStderr();
  call();
  return ::testing::internal::GetCapturedStderr();
}

}  // namespace vlmpatch
