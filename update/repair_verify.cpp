#include "update/repair_verify.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "archive/install_path.h"
#include "archive/key_map.h"
#include "platform/crypto.h"
#include "platform/file.h"
#include "platform/status.h"

namespace update {

namespace {

// One read's size: large enough that the system reads at the disk's pace,
// small enough to stay near the processor while it is hashed.
constexpr std::size_t kReadSize = 1u << 20;
// An archive is cut into parts of about this many bytes or entries, in
// offset order, so that the workers share a large archive.
constexpr std::uint64_t kPartBytes = 64u << 20;
constexpr std::size_t kPartEntries = 65536;
// Each worker adds to the shared count of bytes done at most this often.
constexpr std::uint64_t kProgressStep = 4u << 20;
// How often the calling thread looks at the count.
constexpr auto kProgressWait = std::chrono::milliseconds(50);

// A listed key whose entry passed the index checks: where its bytes lie.
struct KeyRead {
  std::uint32_t offset;
  std::uint32_t size;
  std::uint32_t item;  // position in the list's keys
};

// A piece of the work: a stretch of one archive's reads, or one file.
struct Task {
  bool isArchive = true;
  std::size_t archive = 0;  // position in the index
  std::size_t from = 0, to = 0;
  std::size_t file = 0;  // position in the list's files
};

// A damaged item: item counts the list's keys first, then its files.
struct Finding {
  std::size_t item;
  std::string reason;
};

std::string sizeReason(std::uint64_t found, std::uint64_t listed) {
  return "size " + std::to_string(found) + ", the release says " + std::to_string(listed);
}

// Why a file could not be opened as a plain file; prefix names it.
std::string openReason(platform::PlainFileOpen kind, const platform::Status& why, const std::string& prefix) {
  switch (kind) {
    case platform::PlainFileOpen::kMissing:
      return prefix + "missing";
    case platform::PlainFileOpen::kLink:
      return prefix + "is a link";
    case platform::PlainFileOpen::kDirectory:
      return prefix + "is a directory";
    case platform::PlainFileOpen::kNotPlain:
      return prefix + "is not a plain file";
    case platform::PlainFileOpen::kFailed:
    case platform::PlainFileOpen::kOpened:
      break;
  }
  return prefix + "cannot be read: " + why.reason();
}

// The bytes of one open file in a window of kReadSize, read forward.
struct Window {
  std::vector<unsigned char> bytes = std::vector<unsigned char>(kReadSize);
  const platform::File* file = nullptr;
  std::uint64_t start = 0;
  std::size_t length = 0;

  // Where the bytes wanted from this file end: a read stops there, so that
  // two parts of one archive never read each other's bytes.
  std::uint64_t limit = 0;

  void use(const platform::File& f, std::uint64_t end) {
    file = &f;
    start = 0;
    length = 0;
    limit = end;
  }
};

enum class RangeRead { kWhole, kShort, kFailed };

// Hashes the bytes [offset, offset + size) of the window's file into hash,
// reading as the window needs; counts bytes hashed into counted. kShort when
// the file ends first, kFailed (with the system's reason) when a read fails.
template <class Count>
RangeRead hashRange(Window& window, std::uint64_t offset, std::uint64_t size, platform::Sha256& hash, Count&& counted,
                    std::string* why) {
  while (size > 0) {
    if (offset < window.start || offset >= window.start + window.length) {
      std::size_t wanted = window.bytes.size();
      if (window.limit - offset < wanted) wanted = static_cast<std::size_t>(window.limit - offset);
      std::int64_t got = platform::readFileAt(window.file->get(), offset, window.bytes.data(), wanted);
      if (got < 0) {
        *why = platform::lastSystemError();
        window.length = 0;
        return RangeRead::kFailed;
      }
      window.start = offset;
      window.length = static_cast<std::size_t>(got);
      if (got == 0) return RangeRead::kShort;
    }
    std::size_t at = static_cast<std::size_t>(offset - window.start);
    std::size_t piece = window.length - at;
    if (piece > size) piece = static_cast<std::size_t>(size);
    hash.update(window.bytes.data() + at, piece);
    counted(piece);
    offset += piece;
    size -= piece;
  }
  return RangeRead::kWhole;
}

bool sameDigest(platform::Sha256& hash, const Sha256Digest& listed) {
  unsigned char digest[platform::kSha256Size];
  return hash.finish(digest) && std::memcmp(digest, listed.data(), listed.size()) == 0;
}

struct Run {
  const ContentList& list;
  const archive::ArchiveSet* index;
  std::vector<std::vector<KeyRead>> reads;  // by archive, in offset order
  std::vector<Task> tasks;
  std::uint64_t total = 0;
  std::atomic<std::size_t> next{0};
  std::atomic<std::uint64_t> done{0};      // bytes hashed or passed over
  std::atomic<std::uint64_t> verified{0};  // bytes hashed
  std::mutex lock;                         // over the two below
  std::condition_variable finished;
  std::size_t running = 0;
  std::vector<Finding> findings;

  Run(const ContentList& l, const archive::ArchiveSet* i) : list(l), index(i) {}
};

// A worker's counts, handed to the run's in steps.
struct Counts {
  Run& run;
  std::uint64_t done = 0, verified = 0;

  void hashed(std::size_t bytes) {
    done += bytes;
    verified += bytes;
    if (done >= kProgressStep) flush();
  }
  void passed(std::uint64_t bytes) { done += bytes; }
  void flush() {
    run.done.fetch_add(done, std::memory_order_relaxed);
    run.verified.fetch_add(verified, std::memory_order_relaxed);
    done = verified = 0;
  }
};

void addFinding(std::vector<Finding>& found, std::size_t item, std::string reason) {
  found.push_back({item, std::move(reason)});
}

void verifyArchivePart(Run& run, const Task& task, Window& window, Counts& counts, std::vector<Finding>& found) {
  const std::vector<KeyRead>& reads = run.reads[task.archive];
  const std::string& name = run.index->archives[task.archive]->archive->name;
  platform::File file;
  platform::Status why;
  platform::PlainFileOpen kind = platform::openPlainFileNoFollow(name.c_str(), &file, &why);
  if (kind != platform::PlainFileOpen::kOpened) {
    // Gone since the first look.
    std::string reason = openReason(kind, why, "archive " + name + " ");
    for (std::size_t r = task.from; r < task.to; ++r) {
      addFinding(found, reads[r].item, reason);
      counts.passed(reads[r].size);
    }
    return;
  }
  std::uint64_t end = 0;
  for (std::size_t r = task.from; r < task.to; ++r) end = std::max(end, std::uint64_t{reads[r].offset} + reads[r].size);
  window.use(file, end);
  for (std::size_t r = task.from; r < task.to; ++r) {
    const KeyRead& read = reads[r];
    platform::Sha256 hash;
    std::uint64_t hashed = 0;
    std::string error;
    RangeRead result = hashRange(
        window, read.offset, read.size, hash,
        [&](std::size_t bytes) {
          hashed += bytes;
          counts.hashed(bytes);
        },
        &error);
    counts.passed(read.size - hashed);
    if (result == RangeRead::kShort)
      addFinding(found, read.item, "archive " + name + " ends before the key's bytes do");
    else if (result == RangeRead::kFailed)
      addFinding(found, read.item, "archive " + name + " cannot be read: " + error);
    else if (!sameDigest(hash, run.list.keys[read.item].sha256))
      addFinding(found, read.item, "digest differs");
  }
}

void verifyFile(Run& run, const Task& task, Window& window, Counts& counts, std::vector<Finding>& found) {
  const RepairFile& listed = run.list.files[task.file];
  std::size_t item = run.list.keys.size() + task.file;
  platform::File file;
  platform::Status why;
  platform::PlainFileOpen kind = platform::openPlainFileNoFollow(listed.name.c_str(), &file, &why);
  if (kind != platform::PlainFileOpen::kOpened) {
    addFinding(found, item, openReason(kind, why, kind == platform::PlainFileOpen::kMissing ? "file " : ""));
    counts.passed(listed.size);
    return;
  }
  std::uint64_t size = 0;
  if (!platform::getFileSize(file.get(), &size)) {
    addFinding(found, item, "cannot be read: " + platform::lastSystemError());
    counts.passed(listed.size);
    return;
  }
  if (size != listed.size) {
    addFinding(found, item, sizeReason(size, listed.size));
    counts.passed(listed.size);
    return;
  }
  window.use(file, listed.size);
  platform::Sha256 hash;
  std::uint64_t hashed = 0;
  std::string error;
  RangeRead result = hashRange(
      window, 0, listed.size, hash,
      [&](std::size_t bytes) {
        hashed += bytes;
        counts.hashed(bytes);
      },
      &error);
  counts.passed(listed.size - hashed);
  if (result == RangeRead::kShort)
    addFinding(found, item, "ends before its size");
  else if (result == RangeRead::kFailed)
    addFinding(found, item, "cannot be read: " + error);
  else if (!sameDigest(hash, listed.sha256))
    addFinding(found, item, "digest differs");
}

void worker(Run& run) {
  Window window;
  Counts counts{run};
  std::vector<Finding> found;
  for (std::size_t t; (t = run.next.fetch_add(1)) < run.tasks.size();) {
    const Task& task = run.tasks[t];
    if (task.isArchive)
      verifyArchivePart(run, task, window, counts, found);
    else
      verifyFile(run, task, window, counts, found);
  }
  counts.flush();
  std::lock_guard<std::mutex> hold(run.lock);
  for (Finding& finding : found) run.findings.push_back(std::move(finding));
  --run.running;
  run.finished.notify_all();
}

// The map from key to entry: the set's own when it was built, else one made
// here into local.
const archive::KeyLocationMap& keyLookup(const archive::ArchiveSet& index, archive::KeyLocationMap& local) {
  if (index.keyIndex.count > 0) return index.keyIndex;
  std::size_t entries = 0;
  for (const auto& slot : index.archives) entries += slot->archive->entries.size();
  if (entries == 0) return index.keyIndex;
  archive::keyMapReserve(local, entries);
  for (std::size_t a = 0; a < index.archives.size(); ++a) {
    const archive::Archive& archive = *index.archives[a]->archive;
    for (std::size_t n = 0; n < archive.entries.size(); ++n)
      if (!archive::isRemoved(archive, n))
        archive::keyMapInsertNew(local, archive.entries[n].key,
                                 {static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(n)});
  }
  return local;
}

// Looks at each archive that holds listed keys once: it must be a plain file
// that holds every entry's bytes whole. The keys it fails are damaged here;
// the others stay to be read.
void checkArchives(Run& run, std::vector<Finding>& found) {
  for (std::size_t a = 0; a < run.reads.size(); ++a) {
    std::vector<KeyRead>& reads = run.reads[a];
    if (reads.empty()) continue;
    const std::string& name = run.index->archives[a]->archive->name;
    std::string failed;
    std::uint64_t size = 0;
    if (!archive::isInstallRelativeName(name.c_str())) {
      failed = "archive " + name + " is named outside the installation";
    } else {
      platform::File file;
      platform::Status why;
      platform::PlainFileOpen kind = platform::openPlainFileNoFollow(name.c_str(), &file, &why);
      if (kind != platform::PlainFileOpen::kOpened)
        failed = openReason(kind, why, "archive " + name + " ");
      else if (!platform::getFileSize(file.get(), &size))
        failed = "archive " + name + " cannot be read: " + platform::lastSystemError();
    }
    std::vector<KeyRead> kept;
    for (const KeyRead& read : reads) {
      std::uint64_t end = std::uint64_t{read.offset} + read.size;
      if (!failed.empty())
        found.push_back({read.item, failed});
      else if (end > size)
        found.push_back({read.item, "archive " + name + " ends at " + std::to_string(size) +
                                        ", before the key's bytes end at " + std::to_string(end)});
      else
        kept.push_back(read);
    }
    reads.swap(kept);
  }
}

// The keys' entries checked against the index, gathered by archive.
void checkKeys(Run& run, std::vector<Finding>& found) {
  const ContentList& list = run.list;
  if (!run.index) {
    for (std::size_t k = 0; k < list.keys.size(); ++k) found.push_back({k, "the index cannot be read"});
    return;
  }
  const archive::ArchiveSet& index = *run.index;
  archive::KeyLocationMap local;
  const archive::KeyLocationMap& lookup = keyLookup(index, local);
  run.reads.resize(index.archives.size());
  for (std::size_t k = 0; k < list.keys.size(); ++k) {
    const RepairKey& key = list.keys[k];
    archive::EntryLocation at;
    bool listed = archive::keyMapFind(lookup, key.key, &at) && at.archive < index.archives.size() &&
                  at.entry < index.archives[at.archive]->archive->entries.size() &&
                  !archive::isRemoved(*index.archives[at.archive]->archive, at.entry);
    if (!listed) {
      found.push_back({k, "missing from the index"});
      continue;
    }
    const archive::FileEntry& entry = index.archives[at.archive]->archive->entries[at.entry];
    if (entry.size != key.size) {
      found.push_back({k, sizeReason(entry.size, key.size)});
      continue;
    }
    run.reads[at.archive].push_back({entry.offset, entry.size, static_cast<std::uint32_t>(k)});
  }
  checkArchives(run, found);
}

// Cuts the archives' reads into parts and adds the files, largest first.
void planTasks(Run& run) {
  for (std::size_t a = 0; a < run.reads.size(); ++a) {
    std::vector<KeyRead>& reads = run.reads[a];
    std::sort(reads.begin(), reads.end(), [](const KeyRead& x, const KeyRead& y) {
      return x.offset != y.offset ? x.offset < y.offset : x.size < y.size;
    });
    std::size_t from = 0;
    std::uint64_t bytes = 0;
    for (std::size_t r = 0; r < reads.size(); ++r) {
      bytes += reads[r].size;
      run.total += reads[r].size;
      if (bytes >= kPartBytes || r + 1 - from >= kPartEntries || r + 1 == reads.size()) {
        Task task;
        task.archive = a;
        task.from = from;
        task.to = r + 1;
        run.tasks.push_back(task);
        from = r + 1;
        bytes = 0;
      }
    }
  }
  std::vector<std::size_t> files(run.list.files.size());
  for (std::size_t f = 0; f < files.size(); ++f) files[f] = f;
  std::stable_sort(files.begin(), files.end(),
                   [&](std::size_t x, std::size_t y) { return run.list.files[x].size > run.list.files[y].size; });
  for (std::size_t f : files) {
    Task task;
    task.isArchive = false;
    task.file = f;
    run.tasks.push_back(task);
    run.total += run.list.files[f].size;
  }
}

// Runs the workers and reports the progress from this thread until they end.
void runWorkers(Run& run, const VerifyOptions& options) {
  unsigned count = options.workers;
  // Twice the processors: while one worker waits for the disk, another has
  // bytes to hash.
  if (count == 0) count = std::min(std::max(2 * std::thread::hardware_concurrency(), 2u), 8u);
  count = static_cast<unsigned>(std::min<std::size_t>(count, std::max<std::size_t>(run.tasks.size(), 1)));
  std::uint64_t step = run.total / 256 + 1;
  std::uint64_t reportAt = step;
  if (options.progress) options.progress(0, run.total);
  run.running = count;
  std::vector<std::thread> threads;
  threads.reserve(count);
  try {
    for (unsigned i = 0; i < count; ++i) threads.emplace_back([&run] { worker(run); });
  } catch (const std::system_error&) {
    // The system gave fewer threads: those it gave do the work, or this one.
    std::lock_guard<std::mutex> hold(run.lock);
    run.running = threads.size();
  }
  if (threads.empty()) {
    run.running = 1;
    worker(run);
  }
  {
    std::unique_lock<std::mutex> hold(run.lock);
    while (!run.finished.wait_for(hold, kProgressWait, [&run] { return run.running == 0; })) {
      std::uint64_t done = run.done.load(std::memory_order_relaxed);
      if (options.progress && done >= reportAt && done < run.total) {
        hold.unlock();
        options.progress(done, run.total);
        hold.lock();
        reportAt = done + step;
      }
    }
  }
  for (std::thread& thread : threads) thread.join();
  if (options.progress && run.total > 0) options.progress(run.total, run.total);
}

}  // namespace

VerifyOutcome verifyInstallation(const ContentList& list, const archive::ArchiveSet* index,
                                 const VerifyOptions& options) {
  Run run(list, index);
  std::vector<Finding> found;
  checkKeys(run, found);
  planTasks(run);
  runWorkers(run, options);
  for (Finding& finding : run.findings) found.push_back(std::move(finding));
  std::sort(found.begin(), found.end(), [](const Finding& x, const Finding& y) { return x.item < y.item; });

  VerifyOutcome outcome;
  outcome.bytesToVerify = run.total;
  outcome.bytesVerified = run.verified.load();
  for (Finding& finding : found) {
    DamagedItem item;
    if (finding.item < list.keys.size()) {
      const RepairKey& key = list.keys[finding.item];
      item.key = key.key;
      item.pack = key.pack;
    } else {
      const RepairFile& file = list.files[finding.item - list.keys.size()];
      item.isKey = false;
      item.name = file.name;
      item.pack = file.pack;
    }
    item.reason = std::move(finding.reason);
    outcome.packs.push_back(item.pack);
    outcome.damaged.push_back(std::move(item));
  }
  std::sort(outcome.packs.begin(), outcome.packs.end());
  outcome.packs.erase(std::unique(outcome.packs.begin(), outcome.packs.end()), outcome.packs.end());
  return outcome;
}

}  // namespace update
