// An installation, or a studio's full release laid out as one, as `diff` and
// `compare` see it: the keys its index lists and its loose files.
//
// Loose files are the regular files under the directory, at any depth, except
// the installation's machinery (isMachineryName). A release comes from
// outside, so everything in it is checked before it is trusted: archive names
// must stay inside the directory, entries inside their archive files, a key
// may be listed once, loose file names must pass the installation's name
// rule (isInstallRelativeName) and fit a package item, two names must not be
// one file to Windows, a name may not hold a backslash of its own (possible
// on Linux only: the installation reads it as a separator), and no symbolic
// link, junction or other reparse point is ever followed: each one found is
// a problem, never walked through.
#pragma once

#include "archive/install_path.h"

#include <cstdint>
#include <string>
#include <vector>

#include "archive/index.h"

namespace vlmpatch {

struct LooseFile {
  std::string name;  // relative, its parts joined by "\" as package items carry names
  std::uint64_t size = 0;
};

struct InstallTree {
  std::string named;  // as the operator gave it, for messages
  std::string dir;    // absolute
  // As data.idx lists it; no archive file is held open.
  archive::ArchiveSet index;
  std::vector<LooseFile> looseFiles;     // sorted by name
  std::vector<std::string> directories;  // every directory below dir, named as loose files are
  // The machinery files at the top that are plain files (links are passed
  // over): the executables and settings a diff reports on.
  std::vector<LooseFile> topMachinery;
};

// At most this many problems are listed; the rest are counted.
constexpr std::size_t kListedProblems = 20;

// Reads dir's index and walks its files. False when the tree cannot be used:
// problems then holds what is wrong (at most kListedProblems lines and a
// last line counting the others).
bool readInstallTree(const std::string& dir, InstallTree* tree, std::vector<std::string>* problems);

// The same in its three steps, for a caller that reads two trees at once.
// locateTree names the tree and checks that dir holds a data.idx that is no
// link; walkTree checks what the index lists and walks the files. Both work
// in dir for their while, so they run on one thread at a time. readTreeIndex
// reads the index by its absolute path alone and may run on another thread
// meanwhile. Each adds its problems to problems.
bool locateTree(const std::string& dir, InstallTree* tree, std::vector<std::string>* problems);
// With KeyLookup::kNone the index has no key lookup and walkTree cannot
// see repeated keys: the caller finds them (repeatedKeyProblem words them).
bool readTreeIndex(InstallTree* tree, std::vector<std::string>* problems,
                   archive::KeyLookup lookup = archive::KeyLookup::kBuilt);
bool walkTree(InstallTree* tree, std::vector<std::string>* problems);

// Cuts a list of problems to kListedProblems lines and a last one that
// counts the others.
void boundProblems(std::vector<std::string>& lines);

// A key as the tool prints it: "0x" and eight hex digits.
std::string hexKey(std::uint32_t key);

// The problem of a key data.idx lists more than once, as a tree's problems
// word it.
std::string repeatedKeyProblem(std::uint32_t key);

// The path to open a file of the tree by: the directory and the name.
std::string treePath(const InstallTree& tree, const std::string& name);

// The machinery at the top of an installation that a release may well
// carry, and what the operator does instead of patching it when two
// releases differ in it (diff says so):
//  - each platform's launcher and client under the names the patch server
//    publishes them by and the launcher installs them under
//    (update/server_files.h: "Start VLM.exe" and "Kelda.exe" for Windows,
//    "start-vlm" and "Kelda" for Linux). The launcher's update replaces
//    them from the server's copies whenever newer ones are published, and
//    cver.v records which are there; a patch writing them would fight that
//    record (publish them with publish-launcher and publish-client instead);
//  - "Lumenfall.ini": the player's own settings (language and the game's
//    options); a patch would overwrite or delete every player's choices.
struct ReleaseMachinery {
  std::string name;
  const char* advice;  // "publish it with vlm-patch publish-client"
};
const std::vector<ReleaseMachinery>& releaseMachinery();

// Whether a relative name is a file of the installation's machinery rather
// than game data, compared as Windows compares names (case, trailing dots and
// blanks, either separator):
//  - the index and its temporary: "data.idx", "data.idx.new";
//  - an archive that index lists, and at the top any "*.VFS": the names the
//    launcher gives its new archives, where it cuts whatever file it finds;
//  - at the top, releaseMachinery's files;
//  - the launcher's own files at the top: each platform's launcher's ".old"
//    backup, "KeUpdate.exe" / "KeUpdate", "launcher.bin", "Kelda.bin",
//    "cver.v", "cver.v.new", "rseq.v", "rseq.v.new", "patch.hpl", the
//    repair's "repair.v", "repair.rec", "repair.lst", "repair.rar",
//    "repair.dat" and "data.idx.damaged" (update/repair.h), any
//    "*.part", and the patch loop's "<n>.rar" / "<n>.dat" (written and
//    deleted there while patching) and "vlm-patch-apply.dat"; the contained
//    RAR reader "vlm-rar-reader" and the RAR library "unrar.dll"; each
//    platform's release record ("release.rec", "release-linux.rec"), its
//    "release-<k>.blk" blocks and extraction temporaries "*.vlm-part", which
//    the update writes beside itself for a moment.
bool isMachineryName(const archive::ArchiveSet& index, const std::string& name);

}  // namespace vlmpatch
