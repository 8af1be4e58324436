#include "tools/vlm_patch/compact.h"

#include <cstdlib>
#include <set>
#include <utility>
#include <vector>

#include "archive/index_writer.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/test_hooks.h"
#include "tools/vlm_patch/install_check.h"
#include "tools/vlm_patch/progress.h"

namespace vlmpatch {

namespace {

constexpr std::size_t kCopyChunk = 1 << 20;
constexpr const char* kCompactIndexName = "data.idx.compact";

// Copies size bytes at offset of `from` to `at` in `to`; the reason of the
// first failed read or write, naming the file.
platform::Status copyRange(platform::FileHandle from, const std::string& fromName, std::uint64_t offset,
                           std::uint32_t size, platform::FileHandle to, const std::string& toName, std::uint64_t at,
                           std::vector<char>& buffer) {
  for (std::uint64_t done = 0; done < size;) {
    std::size_t length = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, buffer.size()));
    std::int64_t got = platform::readFileAt(from, offset + done, buffer.data(), length);
    if (got < 0) return platform::Status::systemFailure(fromName + " cannot be read");
    if (got != static_cast<std::int64_t>(length)) return platform::Status::failure(fromName + " ends too soon");
    platform::Status written = platform::writeFileAt(to, at + done, buffer.data(), length);
    if (!written.ok()) return written.withContext(toName + " cannot be written");
    done += length;
    platform::powerLossPoint();
  }
  return platform::Status();
}

// Writes the live entries of one archive into a new file; fills entries with
// their new places.
bool rewriteArchive(const std::string& oldName, const std::string& newName, std::vector<archive::FileEntry>& entries,
                    ProgressBar& bar, std::uint64_t& progress, std::string* error) {
  platform::Status copied;
  {
    platform::File from(platform::openFileForReading(oldName.c_str()));
    if (!from) copied = platform::Status::systemFailure(oldName + " cannot be opened");
    platform::File to;
    if (copied.ok()) {
      to.reset(platform::createFile(newName.c_str()));
      if (!to) copied = platform::Status::systemFailure(newName + " cannot be created");
    }
    std::vector<char> buffer(kCopyChunk);
    std::uint64_t at = 0;
    for (std::size_t n = 0; copied.ok() && n < entries.size(); ++n) {
      copied = copyRange(from.get(), oldName, entries[n].offset, entries[n].size, to.get(), newName, at, buffer);
      entries[n].offset = static_cast<std::uint32_t>(at);
      at += entries[n].size;
      progress += entries[n].size;
      showProgress(bar, progress);
    }
    if (copied.ok()) copied = platform::flushFileToDisk(to.get()).withContext(newName + " cannot be flushed to disk");
  }  // both closed before the next crash point
  platform::powerLossPoint();
  if (!copied.ok()) *error = "cannot copy " + oldName + " into " + newName + ": " + copied.reason();
  return copied.ok();
}

// Step 1: holds every present archive the way the launcher does, so that
// neither a running launcher nor a second tool writes to them while they
// are rewritten. Nothing is held when one cannot be.
bool holdArchives(const archive::ArchiveSet& set, const CheckReport& check, std::vector<platform::File>* held,
                  std::string* error) {
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    if (!check.archives[a].present) continue;
    platform::File file(platform::openFileForExclusiveUpdate(set.archives[a]->name.c_str()));
    if (!file) {
      held->clear();
      *error = set.archives[a]->name + " is in use (is the launcher running?); nothing was changed";
      return false;
    }
    held->push_back(std::move(file));
  }
  return true;
}

// What step 2 made: the archive list for the new index and the old files
// it no longer lists.
struct Rewritten {
  std::vector<archive::IndexArchiveSpec> archives;
  std::vector<std::string> replaced;
};

// Step 2: copies each archive that holds unreferenced bytes, live entries
// only, into a new file under a new name; the others stay as they are.
bool rewriteArchives(const archive::ArchiveSet& set, const CheckReport& check, Rewritten* rewritten,
                     CompactResult* result, std::string* error) {
  std::set<std::string> listed;
  for (const auto& slot : set.archives) listed.insert(slot->name);
  std::uint64_t toCopy = 0;
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    result->bytesBefore += check.archives[a].fileSize;
    if (check.archives[a].unreferenced > 0) toCopy += check.archives[a].referenced;
  }
  ProgressBar bar = startProgress("compacting", toCopy);
  std::uint64_t progress = 0;
  for (std::size_t a = 0; a < set.archives.size(); ++a) {
    const std::string& name = set.archives[a]->name;
    archive::IndexArchiveSpec spec{name, liveEntries(*set.archives[a]->archive)};
    if (check.archives[a].unreferenced > 0) {
      std::string newName = compactedArchiveName(name, static_cast<int>(a));
      while (listed.count(newName)) newName = compactedArchiveName(newName, static_cast<int>(a));
      listed.insert(newName);
      if (!rewriteArchive(name, newName, spec.entries, bar, progress, error)) {
        platform::deleteFile(newName.c_str());
        return false;
      }
      spec.name = newName;
      rewritten->replaced.push_back(name);
      ++result->archivesRewritten;
      result->bytesAfter += check.archives[a].referenced;
    } else {
      result->bytesAfter += check.archives[a].fileSize;
    }
    rewritten->archives.push_back(std::move(spec));
  }
  finishProgress(bar);
  return true;
}

// Step 3, the one step that switches the installation over: the new index
// is written beside the old one, flushed and put in its place atomically.
bool switchIndex(std::uint32_t baseVersion, const std::vector<archive::IndexArchiveSpec>& archives,
                 std::string* error) {
  std::string bytes = archive::encodeIndex(baseVersion, archives);
  const std::string name = kCompactIndexName;
  platform::Status written;
  {
    platform::File file(platform::createFile(kCompactIndexName));
    if (!file) written = platform::Status::systemFailure(name + " cannot be created");
    if (written.ok())
      written =
          platform::writeFileAt(file.get(), 0, bytes.data(), bytes.size()).withContext(name + " cannot be written");
    if (written.ok()) written = platform::flushFileToDisk(file.get()).withContext(name + " cannot be flushed to disk");
  }
  platform::powerLossPoint();
  if (written.ok()) {
    written = platform::replaceFileAtomicallyWithReason(kCompactIndexName, archive::kIndexFileName)
                  .withContext(name + " cannot be put in place of " + archive::kIndexFileName);
  }
  if (!written.ok()) {
    platform::deleteFile(kCompactIndexName);
    *error = "cannot write the new data.idx; the installation is unchanged (" + written.reason() + ")";
    return false;
  }
  platform::powerLossPoint();
  return true;
}

// Step 4: the new index lists the new files, so the old ones go; Windows
// deletes no file that is still open, so they are let go first.
void deleteReplacedArchives(std::vector<platform::File>& held, const std::vector<std::string>& replaced) {
  held.clear();
  for (const std::string& old : replaced) {
    platform::deleteFile(old.c_str());
    platform::powerLossPoint();
  }
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
  archive::ArchiveSet set;
  if (!readInstallIndex(&set, error)) return false;
  CheckReport check = checkInstallation(set);
  if (!check.problems.empty()) {
    *error = "the installation has problems (see 'vlm-patch index check'); nothing was changed";
    return false;
  }
  std::vector<platform::File> held;  // closed on every way out
  if (!holdArchives(set, check, &held, error)) return false;
  Rewritten rewritten;
  if (!rewriteArchives(set, check, &rewritten, result, error)) return false;
  if (rewritten.replaced.empty()) return true;
  if (!switchIndex(set.baseVersion, rewritten.archives, error)) return false;
  deleteReplacedArchives(held, rewritten.replaced);
  return true;
}

}  // namespace vlmpatch
