#include "tools/vlm_patch/server_dir.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "platform/file.h"
#include "platform/status.h"
#include "update/release_record.h"
#include "update/repair_set.h"
#include "update/server_files.h"

namespace vlmpatch {

namespace {

// A decimal number of at most 10 digits, without sign or leading zero,
// from text[from, to); false otherwise.
bool parseNumber(const std::string& text, std::size_t from, std::size_t to, std::uint64_t* value) {
  if (to <= from || to - from > 10 || (text[from] == '0' && to - from > 1)) return false;
  std::uint64_t number = 0;
  for (std::size_t i = from; i < to; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    number = number * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  *value = number;
  return true;
}

bool failWith(std::string* error, const std::string& what) {
  *error = what + ": " + platform::lastSystemError();
  return false;
}

// Reads up to size bytes from the start of the file at path; the count read.
bool readHead(const std::string& path, unsigned char* bytes, std::size_t size, std::size_t* got, std::string* error) {
  platform::File file(platform::openFileForReading(path.c_str()));
  if (!file) return failWith(error, "cannot read " + path);
  *got = 0;
  while (*got < size) {
    std::int64_t n = platform::readFileAt(file.get(), *got, bytes + *got, size - *got);
    if (n < 0) return failWith(error, "cannot read " + path);
    if (n == 0) break;
    *got += static_cast<std::size_t>(n);
  }
  return true;
}

// Creates the file at path, fills it and flushes it to disk; on failure the
// reason is in *error and whatever was written stays for the caller to
// remove.
template <class Fill>
bool writeWhole(const std::string& path, std::string* error, Fill fill) {
  platform::File file(platform::createFile(path.c_str()));
  if (!file) return failWith(error, "cannot create " + path);
  if (!fill(file.get())) return false;
  if (!platform::flushFileToDisk(file.get())) return failWith(error, "cannot write " + path + " to disk");
  return true;
}

bool writeBytes(const std::string& path, const std::string& bytes, std::string* error) {
  return writeWhole(path, error, [&](platform::FileHandle out) {
    if (bytes.empty() || platform::writeFileAt(out, 0, bytes.data(), bytes.size())) return true;
    return failWith(error, "cannot write " + path);
  });
}

bool copyFile(const std::string& source, const std::string& path, std::string* error) {
  platform::File in(platform::openFileForReading(source.c_str()));
  if (!in) return failWith(error, "cannot read " + source);
  return writeWhole(path, error, [&](platform::FileHandle out) {
    std::vector<char> buffer(1 << 20);
    for (std::uint64_t offset = 0;;) {
      std::int64_t got = platform::readFileAt(in.get(), offset, buffer.data(), buffer.size());
      if (got < 0) return failWith(error, "cannot read " + source);
      if (got == 0) return true;
      if (!platform::writeFileAt(out, offset, buffer.data(), static_cast<std::size_t>(got)))
        return failWith(error, "cannot write " + path);
      offset += static_cast<std::uint64_t>(got);
    }
  });
}

// The publish order: what a file names must be in place before it.
int publishRank(const std::string& name) {
  if (name == kPatchListName) return 3;
  if (name == update::kRepairRecordName) return 2;
  for (const update::PlatformFiles& files : update::kPlatformFiles)
    if (name == files.record) return 2;
  if (isBlockName(name)) return 1;
  return 0;
}

}  // namespace

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  char last = dir.back();
  return last == '/' || last == '\\' ? dir + name : dir + "/" + name;
}

std::string patchArchiveName(std::uint32_t n) { return std::to_string(n) + ".rar"; }

bool isPatchArchiveName(const std::string& name) {
  std::uint64_t n = 0;
  return name.size() > 4 && name.compare(name.size() - 4, 4, ".rar") == 0 &&
         parseNumber(name, 0, name.size() - 4, &n) && n >= 1;
}

std::string blockName(std::uint32_t k) {
  char name[32];
  std::snprintf(name, sizeof name, update::kReleaseBlockNameFormat, k);
  return name;
}

bool isBlockName(const std::string& name) {
  const std::string head = "release-", tail = ".blk";
  std::uint64_t k = 0;
  return name.size() > head.size() + tail.size() && name.compare(0, head.size(), head) == 0 &&
         name.compare(name.size() - tail.size(), tail.size(), tail) == 0 &&
         parseNumber(name, head.size(), name.size() - tail.size(), &k);
}

bool readServerPatchList(const std::string& serverDir, update::PatchList* list, std::string* error) {
  *list = update::PatchList();
  std::string path = joinPath(serverDir, kPatchListName);
  if (!platform::pathExists(path.c_str())) return true;
  unsigned char bytes[update::kFullPatchListBytes] = {};
  std::size_t got = 0;
  if (!readHead(path, bytes, sizeof bytes, &got, error)) return false;
  update::decodePatchList(bytes, got, list);
  return true;
}

bool readFirstPatch(const std::string& serverDir, std::uint32_t* first, std::string* error) {
  *first = 1;
  std::string path = joinPath(serverDir, kFirstPatchFileName);
  if (!platform::pathExists(path.c_str())) return true;
  unsigned char bytes[16] = {};
  std::size_t got = 0;
  if (!readHead(path, bytes, sizeof bytes, &got, error)) return false;
  std::string text(reinterpret_cast<const char*>(bytes), got);
  std::size_t end = text.find('\n');
  std::uint64_t n = 0;
  if (end == std::string::npos || end + 1 != text.size() || !parseNumber(text, 0, end, &n) || n < 1 ||
      n > kLastPatchNumber + 1) {
    *error = path + ": not a first patch number (1 to 65536 in decimal and a newline)";
    return false;
  }
  *first = static_cast<std::uint32_t>(n);
  return true;
}

std::string formatFirstPatch(std::uint32_t first) { return std::to_string(first) + "\n"; }

std::string temporaryNameFor(const std::string& dir, const std::string& name) {
  return joinPath(dir, "." + name + ".partial");
}

bool commitTemporary(const std::string& dir, const std::string& name, std::string* error) {
  std::string temporary = temporaryNameFor(dir, name);
  std::string target = joinPath(dir, name);
  platform::File file(platform::openFileForExclusiveUpdate(temporary.c_str()));
  if (!file) return failWith(error, "cannot open " + temporary);
  if (!platform::flushFileToDisk(file.get())) return failWith(error, "cannot write " + temporary + " to disk");
  file.reset();  // closed before the rename: Windows renames no open file
  if (!platform::replaceFileAtomically(temporary.c_str(), target.c_str()))
    return failWith(error, "cannot put " + target + " in place");
  return true;
}

ServerChange::ServerChange(std::string serverDir) : dir_(std::move(serverDir)) {}

ServerChange::~ServerChange() {
  if (!committed_) removeTemporaries();
  for (const std::string& path : scratch_) platform::deleteFile(path.c_str());
}

std::string ServerChange::temporaryPath(const std::string& name) const { return temporaryNameFor(dir_, name); }

std::string ServerChange::backupPath(const std::string& name) const { return joinPath(dir_, "." + name + ".backup"); }

ServerChange::Staged& ServerChange::stage(const std::string& name) {
  for (Staged& s : staged_) {
    if (s.name != name) continue;
    s.adopted = false;
    return s;
  }
  staged_.push_back(Staged{name});
  return staged_.back();
}

bool ServerChange::put(const std::string& name, const std::string& bytes, std::string* error) {
  Staged& s = stage(name);
  s.adopted = writeBytes(temporaryPath(name), bytes, error);
  return s.adopted;
}

bool ServerChange::putCopy(const std::string& name, const std::string& source, std::string* error) {
  Staged& s = stage(name);
  s.adopted = copyFile(source, temporaryPath(name), error);
  return s.adopted;
}

std::string ServerChange::stagingPathFor(const std::string& name) {
  stage(name);
  return temporaryPath(name);
}

bool ServerChange::adopt(const std::string& name, std::string* error) {
  Staged& s = stage(name);
  std::string path = temporaryPath(name);
  platform::File file(platform::openFileForExclusiveUpdate(path.c_str()));
  if (!file) return failWith(error, "cannot open " + path);
  if (!platform::flushFileToDisk(file.get())) return failWith(error, "cannot write " + path + " to disk");
  s.adopted = true;
  return true;
}

std::string ServerChange::scratchPath(const std::string& name) {
  std::string path = joinPath(dir_, "." + name + ".scratch");
  if (std::find(scratch_.begin(), scratch_.end(), path) == scratch_.end()) scratch_.push_back(path);
  return path;
}

bool ServerChange::changes(const std::string& name) const {
  for (const Staged& s : staged_)
    if (s.name == name && s.adopted) return true;
  return false;
}

std::string ServerChange::pathOf(const std::string& name) const {
  return changes(name) ? temporaryPath(name) : joinPath(dir_, name);
}

void ServerChange::removeTemporaries() {
  for (const Staged& s : staged_) {
    std::string temporary = temporaryPath(s.name);
    if (platform::pathExists(temporary.c_str())) platform::deleteFile(temporary.c_str());
    if (s.backedUp) platform::deleteFile(backupPath(s.name).c_str());
  }
}

// Puts back what the first `renamed` renames replaced, last first. False,
// with what could not be put back in *what, when a step fails: that file's
// backup is then kept.
bool ServerChange::undoRenames(std::size_t renamed, std::string* what) {
  bool whole = true;
  for (std::size_t i = renamed; i-- > 0;) {
    Staged& s = staged_[i];
    std::string target = joinPath(dir_, s.name);
    if (s.backedUp) {
      std::string backup = backupPath(s.name);
      if (platform::replaceFileAtomically(backup.c_str(), target.c_str())) {
        s.backedUp = false;  // it is the file again
        continue;
      }
      *what += "; " + target + " could not be put back (" + platform::lastSystemError() + "): its old content is in " +
               backup;
      s.backedUp = false;  // kept for the operator
    } else if (!platform::deleteFile(target.c_str())) {
      *what += "; " + target + ", which is new, could not be removed again (" + platform::lastSystemError() + ")";
    } else {
      continue;
    }
    whole = false;
  }
  return whole;
}

bool ServerChange::commit(std::string* error) {
  for (const Staged& s : staged_) {
    if (!s.adopted) {
      *error = "cannot put " + joinPath(dir_, s.name) + " in place: it was not written whole";
      removeTemporaries();
      return false;
    }
  }
  std::stable_sort(staged_.begin(), staged_.end(),
                   [](const Staged& a, const Staged& b) { return publishRank(a.name) < publishRank(b.name); });
  // Every write first: the copies of the files to be replaced.
  for (Staged& s : staged_) {
    std::string target = joinPath(dir_, s.name);
    if (!platform::pathExists(target.c_str())) continue;
    s.backedUp = true;  // whatever part of it gets written is removed on failure
    std::string why;
    if (!copyFile(target, backupPath(s.name), &why)) {
      *error = "cannot keep a copy of " + target + " while it is replaced: " + why;
      removeTemporaries();
      return false;
    }
  }
  // Then the renames, in the publish order.
  for (std::size_t i = 0; i < staged_.size(); ++i) {
    std::string temporary = temporaryPath(staged_[i].name), target = joinPath(dir_, staged_[i].name);
    if (platform::replaceFileAtomically(temporary.c_str(), target.c_str())) continue;
    std::string reason = platform::lastSystemError();
    std::string undone;
    bool whole = undoRenames(i, &undone);
    *error = "cannot put " + target + " in place: " + reason +
             (whole ? std::string(i ? "; the files put in place before it were put back" : "") : undone);
    removeTemporaries();
    return false;
  }
  for (const Staged& s : staged_)
    if (s.backedUp) platform::deleteFile(backupPath(s.name).c_str());
  committed_ = true;
  staged_.clear();
  return true;
}

bool writeServerPatchList(const std::string& serverDir, const update::PatchList& list, std::string* error) {
  ServerChange change(serverDir);
  return change.put(kPatchListName, update::encodePatchList(list), error) && change.commit(error);
}

}  // namespace vlmpatch
