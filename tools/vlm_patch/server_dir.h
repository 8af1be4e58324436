// The patch server's directory, as an operator changes it.
//
// Files (update/server_files.h names them per platform): "patch.hpl" (the
// numbers of update/patch_list.h), the numbered patches "N.rar", each holding
// the package "N.dat", each platform's launcher and client, and, on a signed
// server, the blocks "release-K.blk" and each platform's record. The hidden
// ".vlm-first-patch" is the tool's own: the first patch the server
// publishes, in decimal and a newline ("1427\n"), for a server started for
// players already at an earlier version (vlm-patch server init); without it
// the first patch is 1. The served configuration refuses every name that
// starts with a dot (docs/serving.md), so players never see it, nor the
// files of a change in progress.
//
// Every command changes the directory through one ServerChange, whole or
// nothing (below): a launcher never sees a half-written file, nor a number
// whose file is missing, and a failed command leaves the directory as it
// found it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/patch_list.h"

namespace vlmpatch {

// The patch list is update's own (update/patch_list.h): one layout for the
// launchers and the tool.
using PatchList = update::PatchList;

constexpr const char* kPatchListName = "patch.hpl";
constexpr const char* kFirstPatchFileName = ".vlm-first-patch";
// The launcher counts patches in 16 bits: 65535 is the last number it fetches.
constexpr std::uint32_t kLastPatchNumber = 0xFFFF;

// "dir" + separator + name.
std::string joinPath(const std::string& dir, const std::string& name);

// "N.rar" for a patch number.
std::string patchArchiveName(std::uint32_t n);
// True for "N.rar" with N a number from 1 on (no sign, no leading zero).
bool isPatchArchiveName(const std::string& name);
// "release-K.blk", and whether a name is one.
std::string blockName(std::uint32_t k);
bool isBlockName(const std::string& name);

// Reads "patch.hpl" through update::decodePatchList: a missing file reads
// as all zeros, a short one keeps zeros for what it lacks (as the launchers
// read it). False with the reason when it cannot be read.
bool readServerPatchList(const std::string& serverDir, update::PatchList* list, std::string* error);

// Replaces "patch.hpl" with the list's 20 bytes, as a change of its own.
bool writeServerPatchList(const std::string& serverDir, const update::PatchList& list, std::string* error);

// The first patch the server publishes: 1 without ".vlm-first-patch". False
// with the reason when the file cannot be read or holds no number from 1 to
// kLastPatchNumber + 1 in decimal and a newline.
bool readFirstPatch(const std::string& serverDir, std::uint32_t* first, std::string* error);
// The file's text for a first patch number.
std::string formatFirstPatch(std::uint32_t first);

// The hidden temporary name used beside dir/name while it is written, and
// the step that flushes that finished file and renames it into place (for
// a directory of packages, one file at a time).
std::string temporaryNameFor(const std::string& dir, const std::string& name);
bool commitTemporary(const std::string& dir, const std::string& name, std::string* error);

// One change of a server directory, whole or nothing.
//
// Each new file is first written beside its place under a hidden temporary
// name (".NAME.partial") and flushed to disk; nothing in the served
// directory changes while that happens, so a failure then (a full disk, a
// missing source) leaves the directory byte for byte as it was, once the
// temporary files are removed. commit() then keeps a hidden copy of each
// file it is about to replace (".NAME.backup", flushed as well) and renames
// the new files into place in the publish order: patch archives, executables
// and ".vlm-first-patch" first, then the blocks, then the records, and
// "patch.hpl" last, so that a launcher which sees a new number finds what it
// names. A rename that fails undoes the ones before it, from their backups
// or by removing a file that was new; the backups are removed once the
// change is whole. A change that is never committed removes its temporary
// files when it ends.
//
// Every failure says what failed and the system's reason ("cannot write
// srv/.5.rar.partial: No space left on device").
class ServerChange {
 public:
  explicit ServerChange(std::string serverDir);
  ~ServerChange();
  ServerChange(const ServerChange&) = delete;
  ServerChange& operator=(const ServerChange&) = delete;

  const std::string& directory() const { return dir_; }

  // The new content of the file name: these bytes, or a copy of the file at
  // source.
  bool put(const std::string& name, const std::string& bytes, std::string* error);
  bool putCopy(const std::string& name, const std::string& source, std::string* error);
  // For a writer of its own: the temporary path to fill for name, then
  // adopt(name) flushes what it wrote and makes it part of the change.
  std::string stagingPathFor(const std::string& name);
  bool adopt(const std::string& name, std::string* error);
  // A hidden file for work on the way (a package built before it is
  // packed), removed when the change ends.
  std::string scratchPath(const std::string& name);

  // Where the content of name is as the change will leave it: the staged
  // file, or the one in place.
  std::string pathOf(const std::string& name) const;
  bool changes(const std::string& name) const;

  // Puts every staged file in place; false with the reason, and the
  // directory as it was, on failure.
  bool commit(std::string* error);

 private:
  struct Staged {
    std::string name;
    bool adopted = false;  // written whole and flushed
    bool backedUp = false;
  };
  Staged& stage(const std::string& name);
  void removeTemporaries();
  std::string temporaryPath(const std::string& name) const;
  std::string backupPath(const std::string& name) const;
  bool undoRenames(std::size_t renamed, std::string* what);

  std::string dir_;
  std::vector<Staged> staged_;
  std::vector<std::string> scratch_;
  bool committed_ = false;
};

}  // namespace vlmpatch
