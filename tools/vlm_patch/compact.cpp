#include "tools/vlm_patch/compact.h"

#include <cstdlib>
#include <functional>
#include <set>
#include <vector>

#include "archive/index_writer.h"
#include "platform/file.h"
#include "platform/process.h"
#include "tools/vlm_patch/install_check.h"
#include "tools/vlm_patch/progress.h"

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;
constexpr const char* kCompactIndexName = "data.idx.compact";

// Tests stop the run at a chosen step to prove that every step leaves a
// valid installation: VLM_COMPACT_CRASH_AT=N ends the process at once, as a
// power loss would, when step N is reached.
void step() {
  static long count = 0;
  static const char* at = std::getenv("VLM_COMPACT_CRASH_AT");
  if (at && ++count == std::atol(at)) platform::exitProcessNow(75);
}

bool copyRange(platform::FileHandle from, std::uint64_t offset, std::uint32_t size, platform::FileHandle to,
               std::uint64_t at, std::vector<char>& buffer) {
  for (std::uint64_t done = 0; done < size;) {
    std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size()));
    if (platform::readFileAt(from, offset + done, buffer.data(), length) != static_cast<std::int64_t>(length) ||
        !platform::writeFileAt(to, at + done, buffer.data(), length)) {
      return false;
    }
    done += length;
    step();
  }
  return true;
}

// Writes the live entries of one archive into a new file; fills entries with
// their new places.
bool rewriteArchive(const std::string& oldName, const std::string& newName, std::vector<FileEntry>& entries,
                    ProgressBar& bar, std::uint64_t& progress, std::string* error) {
  platform::FileHandle from = platform::openFileForReading(oldName.c_str());
  platform::FileHandle to = platform::createFile(newName.c_str());
  bool ok = from != platform::kNoFile && to != platform::kNoFile;
  std::vector<char> buffer(kCopyChunk);
  std::uint64_t at = 0;
  for (std::size_t n = 0; ok && n < entries.size(); ++n) {
    ok = copyRange(from, entries[n].offset, entries[n].size, to, at, buffer);
    entries[n].offset = static_cast<std::uint32_t>(at);
    at += entries[n].size;
    progress += entries[n].size;
    showProgress(bar, progress);
  }
  ok = ok && platform::flushFileToDisk(to);
  platform::closeFile(from);
  platform::closeFile(to);
  step();
  if (!ok) *error = "cannot copy " + oldName + " into " + newName;
  return ok;
}

}  // namespace

std::string compactedArchiveName(const std::string& name, int archive) {
  std::string stem = name, extension;
  std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    stem = name.substr(0, dot);
    extension = name.substr(dot);
  }
  int generation = 1;
  std::size_t tilde = stem.rfind('~');
  if (tilde != std::string::npos && tilde + 1 < stem.size() &&
      stem.find_first_not_of("0123456789", tilde + 1) == std::string::npos) {
    generation = std::atoi(stem.c_str() + tilde + 1) + 1;
    stem = stem.substr(0, tilde);
  }
  std::string result = stem + "~" + std::to_string(generation) + extension;
  if (result.size() > 31) result = "C" + std::to_string(archive) + "~" + std::to_string(generation) + ".VFS";
  return result;
}

bool compactInstallation(CompactResult* result, std::string* error) {
  ArchiveSet set;
  if (!readInstallIndex(&set, error)) return false;
  CheckReport check = checkInstallation(set);
  if (!check.problems.empty()) {
    *error = "the installation has problems (see 'vlm-patch index check'); nothing was changed";
    return false;
  }
  std::set<std::string> listed;
  for (const auto& slot : set.archives) listed.insert(slot->name);
  // Hold every archive the way the launcher does, so that neither a running
  // launcher nor a second tool writes to them while they are rewritten.
  std::vector<platform::FileHandle> held;
  auto release = [&held] {
    for (platform::FileHandle f : held) platform::closeFile(f);
    held.clear();
  };
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    if (!check.archives[a].present) continue;
    platform::FileHandle file = platform::openArchiveFile(set.archives[a]->name.c_str());
    if (file == platform::kNoFile) {
      release();
      *error = set.archives[a]->name + " is in use (is the launcher running?); nothing was changed";
      return false;
    }
    held.push_back(file);
  }
  struct Release {
    std::function<void()> run;
    ~Release() { run(); }
  } releaseAtEnd{release};

  std::vector<IndexArchiveSpec> archives;
  std::vector<std::string> replaced;
  std::uint64_t toCopy = 0;
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    result->bytesBefore += check.archives[a].fileSize;
    if (check.archives[a].unreferenced > 0) toCopy += check.archives[a].referenced;
  }
  ProgressBar bar = startProgress("compacting", toCopy);
  std::uint64_t progress = 0;
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    const std::string& name = set.archives[a]->name;
    IndexArchiveSpec spec{name, liveEntries(*set.archives[a]->archive)};
    if (check.archives[a].unreferenced > 0) {
      std::string newName = compactedArchiveName(name, static_cast<int>(a));
      while (listed.count(newName)) newName = compactedArchiveName(newName, static_cast<int>(a));
      listed.insert(newName);
      if (!rewriteArchive(name, newName, spec.entries, bar, progress, error)) {
        platform::deleteFile(newName.c_str());
        return false;
      }
      spec.name = newName;
      replaced.push_back(name);
      ++result->archivesRewritten;
      result->bytesAfter += check.archives[a].referenced;
    } else {
      result->bytesAfter += check.archives[a].fileSize;
    }
    archives.push_back(std::move(spec));
  }
  finishProgress(bar);
  if (replaced.empty()) return true;

  // The one step that switches the installation over.
  std::string bytes = encodeIndex(set.baseVersion, archives);
  platform::FileHandle file = platform::createFile(kCompactIndexName);
  bool written = file != platform::kNoFile && platform::writeFileAt(file, 0, bytes.data(), bytes.size()) &&
                 platform::flushFileToDisk(file);
  platform::closeFile(file);
  step();
  if (!written || !platform::replaceFileAtomically(kCompactIndexName, kIndexFileName)) {
    platform::deleteFile(kCompactIndexName);
    *error = "cannot write the new data.idx; the installation is unchanged";
    return false;
  }
  step();
  // The new index lists the new files: the old ones go, and Windows deletes
  // no file that is still open.
  release();
  for (const std::string& old : replaced) {
    platform::deleteFile(old.c_str());
    step();
  }
  return true;
}
