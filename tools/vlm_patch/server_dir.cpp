#include "tools/vlm_patch/server_dir.h"

#include <vector>

#include "archive/byte_order.h"
#include "platform/file.h"
#include "platform/status.h"

namespace vlmpatch {

std::string joinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  char last = dir.back();
  return last == '/' || last == '\\' ? dir + name : dir + "/" + name;
}

bool readServerPatchList(const std::string& serverDir, PatchList* list, std::string* error) {
  *list = PatchList();
  std::string path = joinPath(serverDir, "patch.hpl");
  if (!platform::pathExists(path.c_str())) return true;
  platform::File file(platform::openFileForReading(path.c_str()));
  if (!file) {
    *error = "cannot read " + path;
    return false;
  }
  unsigned char bytes[12] = {0};
  std::int64_t got = platform::readFileAt(file.get(), 0, bytes, sizeof bytes);
  if (got < 0) {
    *error = "cannot read " + path;
    return false;
  }
  std::uint32_t* fields[] = {&list->latestPatch, &list->latestLauncher, &list->latestClient};
  for (int i = 0; i < 3 && (i + 1) * 4 <= got; ++i) *fields[i] = archive::getU32(bytes + 4 * i);
  return true;
}

bool writeServerPatchList(const std::string& serverDir, const PatchList& list, std::string* error) {
  std::string bytes;
  archive::putU32(bytes, list.latestPatch);
  archive::putU32(bytes, list.latestLauncher);
  archive::putU32(bytes, list.latestClient);
  return placeBytesAtomically(serverDir, "patch.hpl", bytes, error);
}

std::string temporaryNameFor(const std::string& dir, const std::string& name) {
  return joinPath(dir, "." + name + ".partial");
}

bool commitTemporary(const std::string& dir, const std::string& name, std::string* error) {
  std::string temporary = temporaryNameFor(dir, name);
  std::string target = joinPath(dir, name);
  platform::File file(platform::openFileForExclusiveUpdate(temporary.c_str()));
  bool flushed = file && platform::flushFileToDisk(file.get());
  file.reset();  // closed before the rename: Windows renames no open file
  if (!flushed || !platform::replaceFileAtomically(temporary.c_str(), target.c_str())) {
    *error = "cannot put " + target + " in place";
    return false;
  }
  return true;
}

// Writes the temporary file with fill, flushes it and renames it into place;
// on any failure the temporary file is removed and the old file stays.
template <class Fill>
static bool placeAtomically(const std::string& dir, const std::string& name, std::string* error, Fill fill) {
  std::string temporary = temporaryNameFor(dir, name);
  std::string target = joinPath(dir, name);
  platform::File file(platform::createFile(temporary.c_str()));
  if (!file) {
    *error = "cannot create " + temporary + ": " + platform::lastSystemError();
    return false;
  }
  bool ok = fill(file.get()) && platform::flushFileToDisk(file.get());
  file.reset();  // closed before the rename: Windows renames no open file
  if (ok && !platform::replaceFileAtomically(temporary.c_str(), target.c_str())) {
    *error = "cannot put " + target + " in place";
    ok = false;
  } else if (!ok && error->empty()) {
    *error = "cannot write " + temporary;
  }
  if (!ok) platform::deleteFile(temporary.c_str());
  return ok;
}

bool placeBytesAtomically(const std::string& dir, const std::string& name, const std::string& bytes,
                          std::string* error) {
  return placeAtomically(dir, name, error, [&](platform::FileHandle file) {
    return bytes.empty() || platform::writeFileAt(file, 0, bytes.data(), bytes.size());
  });
}

bool placeFileAtomically(const std::string& dir, const std::string& name, const std::string& source,
                         std::string* error) {
  platform::File in(platform::openFileForReading(source.c_str()));
  if (!in) {
    *error = "cannot read " + source;
    return false;
  }
  bool ok = placeAtomically(dir, name, error, [&](platform::FileHandle out) {
    std::vector<char> buffer(1 << 20);
    for (std::uint64_t offset = 0;;) {
      std::int64_t got = platform::readFileAt(in.get(), offset, buffer.data(), buffer.size());
      if (got < 0) {
        *error = "cannot read " + source;
        return false;
      }
      if (got == 0) return true;
      if (!platform::writeFileAt(out, offset, buffer.data(), static_cast<std::size_t>(got))) return false;
      offset += static_cast<std::uint64_t>(got);
    }
  });
  return ok;
}

}  // namespace vlmpatch
