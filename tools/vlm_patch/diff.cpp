#include "tools/vlm_patch/diff.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "archive/install_path.h"
#include "archive/package_format.h"
#include "archive/package_writer.h"
#include "platform/file.h"
#include "platform/memory.h"
#include "platform/status.h"
#include "tools/vlm_patch/compare.h"
#include "tools/vlm_patch/digest.h"
#include "tools/vlm_patch/progress.h"
#include "tools/vlm_patch/range_reader.h"
#include "tools/vlm_patch/server_dir.h"

namespace vlmpatch {

namespace {

// Where each archive's entries start among the index's flat positions
// (archive by archive in index order, entry by entry within each); one more
// element holds the total.
std::vector<std::uint32_t> flatStarts(const archive::ArchiveSet& index) {
  std::vector<std::uint32_t> starts(1, 0);
  for (const auto& slot : index.archives)
    starts.push_back(starts.back() + static_cast<std::uint32_t>(slot->archive->entries.size()));
  return starts;
}

// Calls visit(entry, flat) for each live entry of an index, in flat order.
template <class Visit>
void forEachLiveEntry(const archive::ArchiveSet& index, Visit&& visit) {
  std::uint32_t flat = 0;
  for (const auto& slot : index.archives) {
    const archive::Archive& archive = *slot->archive;
    for (std::size_t n = 0; n < archive.entries.size(); ++n, ++flat)
      if (!archive::isRemoved(archive, n)) visit(archive.entries[n], flat);
  }
}

std::uint64_t liveBytes(const archive::ArchiveSet& index) {
  std::uint64_t total = 0;
  forEachLiveEntry(index, [&total](const archive::FileEntry& e, std::uint32_t) { total += e.size; });
  return total;
}

constexpr std::uint32_t kUnpaired = ~0u;

// An archive's live entries in offset order, the order it is read in,
// worked out by the first of its parts to start and shared with the others.
struct ArchiveOrder {
  std::once_flag worked;
  // The index lists them in offset order already, none removed, as a
  // release's index usually does: no list is needed.
  bool asListed = false;
  std::vector<std::uint32_t> order;  // otherwise their positions, in offset order
  std::size_t count = 0;
  std::uint32_t at(std::size_t i) const { return asListed ? static_cast<std::uint32_t>(i) : order[i]; }
};

void workOutOrder(const archive::Archive& archive, ArchiveOrder& shared) {
  const std::vector<archive::FileEntry>& entries = archive.entries;
  auto byOffset = [](const archive::FileEntry& x, const archive::FileEntry& y) { return x.offset < y.offset; };
  if (archive.removedCount == 0 && std::is_sorted(entries.begin(), entries.end(), byOffset)) {
    shared.asListed = true;
    shared.count = entries.size();
    return;
  }
  std::vector<std::uint32_t>& order = shared.order;
  order.reserve(entries.size());
  for (std::size_t n = 0; n < entries.size(); ++n)
    if (!archive::isRemoved(archive, n)) order.push_back(static_cast<std::uint32_t>(n));
  auto byEntryOffset = [&entries](std::uint32_t x, std::uint32_t y) { return entries[x].offset < entries[y].offset; };
  if (!std::is_sorted(order.begin(), order.end(), byEntryOffset))
    std::stable_sort(order.begin(), order.end(), byEntryOffset);
  shared.count = order.size();
}

// One part of one archive of one tree: a piece of the scans' work. An
// archive is cut into parts of about kPartEntries entries, in offset order,
// so that at the end of each tree's work no thread waits long for another
// to finish a whole archive.
struct ScanTask {
  bool inNew;
  std::size_t archive;
  std::size_t part, parts;
};
constexpr std::size_t kPartEntries = 16384;

// Both trees' archives, read by a few threads that take one part at a
// time: each part is one sequential pass over a stretch of its archive, and
// while there is work every thread has some. OLD's archives come first and
// their digests are kept; NEW's keys are compared as they are read, once
// OLD's digests are all known and the keys are paired, and a changed key's
// bytes are kept while they are at hand, so that writing the packages need
// not read them again.
struct Scans {
  const InstallTree* oldTree = nullptr;
  const InstallTree* newTree = nullptr;
  std::vector<std::uint32_t> oldStarts, newStarts;  // flatStarts of each index
  platform::LargeTable<std::uint64_t> oldDigests;   // by OLD's flat position
  std::vector<ScanTask> tasks;                      // OLD's parts, then NEW's
  std::size_t oldTasks = 0;
  std::unique_ptr<ArchiveOrder[]> oldOrders, newOrders;  // by archive
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> done{0};  // bytes digested so far
  std::atomic<std::uint64_t> held{0};  // bytes of changed keys kept so far
  std::mutex lock;                     // over everything below
  std::vector<std::string> problems;
  std::size_t running = 0;  // threads not yet finished
  std::size_t oldLeft = 0;  // OLD's parts not yet digested
  // NEW's flat position to OLD's, given once the keys are paired.
  const platform::LargeTable<std::uint32_t>* paired = nullptr;
  std::condition_variable finished;              // running fell, or a part of NEW was compared
  std::condition_variable comparable;            // oldLeft reached 0 and paired was given, or stop
  std::vector<std::vector<StoredKey>> changes;   // by NEW's part (its task less oldTasks), in offset order
  std::vector<char> compared;                    // by NEW's part: its changes are whole
  std::vector<platform::LargeBlock> heldBlocks;  // the threads' kept bytes, alive until the keys are written
  std::vector<std::thread> threads;
};

// A window this size stays in the processor's cache between the read that
// fills it and the digest that reads it.
constexpr std::size_t kScanWindow = 256u << 10;
// Each thread adds to the shared count of bytes done at most this often.
constexpr std::uint64_t kProgressStep = 4u << 20;
// Changed keys' bytes are kept in blocks of this size, which never move, so
// a key points into them for as long as the diff lives...
constexpr std::size_t kHeldBlock = 4u << 20;
// ...up to this many bytes in all; the keys past it are read again when the
// packages are written.
constexpr std::uint64_t kHeldBudget = 64u << 20;

// The thread's own blocks of changed keys' bytes.
struct HeldBlock {
  platform::LargeBlock memory{kHeldBlock};
  std::size_t used = 0;
};
using HeldBlocks = std::vector<HeldBlock>;

void stopScans(Scans& scans) {
  {
    std::lock_guard<std::mutex> hold(scans.lock);
    scans.stop = true;
  }
  scans.comparable.notify_all();
  scans.finished.notify_all();
}

// The task's entries, as positions in its archive's offset order.
struct PartRange {
  const ArchiveOrder* order;
  std::size_t from, to;
};

PartRange partOf(Scans& scans, const ScanTask& task, const archive::Archive& archive) {
  ArchiveOrder& shared = (task.inNew ? scans.newOrders : scans.oldOrders)[task.archive];
  std::call_once(shared.worked, [&] { workOutOrder(archive, shared); });
  std::size_t count = shared.count;
  return {&shared, count * task.part / task.parts, count * (task.part + 1) / task.parts};
}

// Reads the live entries of one part of an archive in offset order and
// hands each to take(n, digest, bytes): bytes are the entry's whole bytes
// when the window held it at once (and it is not empty), else nullptr. An
// entry larger than the window is digested in pieces. False when the
// archive cannot be read (problems says so) or the scans were stopped.
template <class Take>
bool scanArchive(Scans& scans, const InstallTree& tree, const ScanTask& task, PartRange part, RangeReader& reader,
                 std::uint64_t& unreported, Take&& take) {
  const archive::Archive& archive = *tree.index.archives[task.archive]->archive;
  if (part.from == part.to) return true;
  std::string path = treePath(tree, archive.name);
  auto fail = [&](const std::string& problem) {
    std::lock_guard<std::mutex> hold(scans.lock);
    scans.problems.push_back(problem);
    return false;
  };
  if (!openRangeReader(reader, path)) return fail("cannot read " + path + ": " + platform::lastSystemError());
  adviseSequential(reader);
  for (std::size_t i = part.from; i < part.to; ++i) {
    std::uint32_t n = part.order->at(i);
    if (scans.stop.load(std::memory_order_relaxed)) return false;
    const archive::FileEntry& e = archive.entries[n];
    if (e.size == 0) {
      // Nothing to read, even where the file ends.
      take(n, digestOf(nullptr, 0), nullptr);
    } else if (e.size <= reader.windowSize) {
      if (!holdWhole(reader, e.offset, e.size))
        return fail("cannot read the bytes of a key from " + path + " (did it change?)");
      const unsigned char* bytes = reader.window.data() + (e.offset - reader.windowStart);
      take(n, digestOf(bytes, e.size), bytes);
    } else {
      DigestStream stream;
      if (!visitRange(reader, e.offset, e.size,
                      [&stream](const unsigned char* bytes, std::size_t length) { stream.add(bytes, length); }))
        return fail("cannot read the bytes of a key from " + path + " (did it change?)");
      take(n, stream.digest(), nullptr);
    }
    unreported += e.size;
    if (unreported >= kProgressStep) {
      scans.done.fetch_add(unreported, std::memory_order_relaxed);
      unreported = 0;
    }
  }
  return true;
}

// A copy of a changed key's bytes in the thread's blocks, or nullptr once
// the budget is spent.
const unsigned char* holdBytes(Scans& scans, HeldBlocks& blocks, const unsigned char* bytes, std::size_t size) {
  if (size > kHeldBlock || scans.held.fetch_add(size, std::memory_order_relaxed) + size > kHeldBudget) return nullptr;
  if (blocks.empty() || kHeldBlock - blocks.back().used < size) blocks.emplace_back();
  HeldBlock& block = blocks.back();
  unsigned char* at = block.memory.data() + block.used;
  std::memcpy(at, bytes, size);
  block.used += size;
  return at;
}

bool digestOldPart(Scans& scans, const ScanTask& task, RangeReader& reader, std::uint64_t& unreported) {
  const archive::Archive& archive = *scans.oldTree->index.archives[task.archive]->archive;
  std::uint64_t* digests = scans.oldDigests.data() + scans.oldStarts[task.archive];
  return scanArchive(scans, *scans.oldTree, task, partOf(scans, task, archive), reader, unreported,
                     [digests](std::uint32_t n, std::uint64_t digest, const unsigned char*) { digests[n] = digest; });
}

// NEW's keys of one part that OLD lacks, or holds with another size or
// other bytes, in the archive's offset order.
bool compareNewPart(Scans& scans, const ScanTask& task, std::vector<StoredKey>& changed, RangeReader& reader,
                    std::uint64_t& unreported, HeldBlocks& blocks, std::vector<std::uint64_t>& expected) {
  std::size_t a = task.archive;
  const archive::Archive& archive = *scans.newTree->index.archives[a]->archive;
  PartRange part = partOf(scans, task, archive);
  const ArchiveOrder& order = *part.order;
  const std::uint32_t* paired = scans.paired->data() + scans.newStarts[a];
  // OLD's digests of the part's keys gathered in one tight loop first, where
  // many lookups are under way at once, instead of one at a time between the
  // reads. The list is the thread's, kept from part to part.
  expected.resize(archive.entries.size());
  const std::uint64_t* oldDigests = scans.oldDigests.data();
  constexpr std::size_t kAhead = 16;  // lookups asked for before they are needed
  for (std::size_t i = part.from; i < part.to; ++i) {
    if (i + kAhead < part.to && paired[order.at(i + kAhead)] != kUnpaired)
      __builtin_prefetch(oldDigests + paired[order.at(i + kAhead)]);
    std::uint32_t n = order.at(i);
    expected[n] = paired[n] != kUnpaired ? oldDigests[paired[n]] : 0;
  }
  return scanArchive(scans, *scans.newTree, task, part, reader, unreported,
                     [&](std::uint32_t n, std::uint64_t digest, const unsigned char* bytes) {
                       if (paired[n] != kUnpaired && expected[n] == digest) return;
                       const archive::FileEntry& e = archive.entries[n];
                       StoredKey key{e.key, static_cast<std::uint32_t>(a), e.offset, e.size};
                       if (bytes) key.held = holdBytes(scans, blocks, bytes, e.size);
                       changed.push_back(key);
                     });
}

// Waits until NEW's keys can be compared; false when the scans stop first.
bool awaitComparable(Scans& scans) {
  std::unique_lock<std::mutex> hold(scans.lock);
  scans.comparable.wait(hold, [&scans] { return scans.stop || (scans.oldLeft == 0 && scans.paired); });
  return !scans.stop;
}

void scanWorker(Scans& scans) {
  RangeReader reader;
  reader.windowSize = kScanWindow;
  std::uint64_t unreported = 0;
  HeldBlocks blocks;
  std::vector<std::uint64_t> expected;
  for (std::size_t t; !scans.stop && (t = scans.next.fetch_add(1)) < scans.tasks.size();) {
    const ScanTask& task = scans.tasks[t];
    std::size_t newPart = t - scans.oldTasks;  // when task.inNew
    bool read = task.inNew ? awaitComparable(scans) && compareNewPart(scans, task, scans.changes[newPart], reader,
                                                                      unreported, blocks, expected)
                           : digestOldPart(scans, task, reader, unreported);
    closeRangeReader(reader);
    if (!read) stopScans(scans);
    if (read && task.inNew) {
      std::lock_guard<std::mutex> hold(scans.lock);
      scans.compared[newPart] = 1;
      scans.finished.notify_all();
    }
    if (!task.inNew) {
      std::lock_guard<std::mutex> hold(scans.lock);
      if (--scans.oldLeft == 0) scans.comparable.notify_all();
    }
  }
  scans.done.fetch_add(unreported, std::memory_order_relaxed);
  std::lock_guard<std::mutex> hold(scans.lock);
  for (HeldBlock& block : blocks) scans.heldBlocks.push_back(std::move(block.memory));
  --scans.running;
  scans.finished.notify_all();
}

// Starts the threads that read both trees' archives.
void startScans(Scans& scans, const InstallTree& oldTree, const InstallTree& newTree) {
  scans.oldTree = &oldTree;
  scans.newTree = &newTree;
  scans.oldStarts = flatStarts(oldTree.index);
  scans.newStarts = flatStarts(newTree.index);
  scans.oldDigests.resize(scans.oldStarts.back());
  for (const InstallTree* tree : {&oldTree, &newTree}) {
    for (std::size_t a = 0; a < tree->index.archives.size(); ++a) {
      std::size_t entries = tree->index.archives[a]->archive->entries.size();
      std::size_t parts = std::max<std::size_t>(1, (entries + kPartEntries - 1) / kPartEntries);
      for (std::size_t part = 0; part < parts; ++part) scans.tasks.push_back({tree == &newTree, a, part, parts});
    }
    if (tree == &oldTree) scans.oldTasks = scans.tasks.size();
  }
  scans.oldOrders.reset(new ArchiveOrder[oldTree.index.archives.size()]);
  scans.newOrders.reset(new ArchiveOrder[newTree.index.archives.size()]);
  scans.oldLeft = scans.oldTasks;
  scans.changes.resize(scans.tasks.size() - scans.oldTasks);
  scans.compared.resize(scans.tasks.size() - scans.oldTasks);
  unsigned threads = std::thread::hardware_concurrency();
  threads = std::min(std::max(threads, 2u), 8u);
  std::size_t count = std::min<std::size_t>(threads, scans.tasks.size());
  scans.running = count;
  for (std::size_t i = 0; i < count; ++i) scans.threads.emplace_back([&scans] { scanWorker(scans); });
}

// Lets the scans compare NEW's keys, by the pairing (which outlives them).
void givePairing(Scans& scans, const platform::LargeTable<std::uint32_t>& paired) {
  {
    std::lock_guard<std::mutex> hold(scans.lock);
    scans.paired = &paired;
  }
  scans.comparable.notify_all();
}

// Waits for the scans, drawing the progress meanwhile; with stop, asks them
// to end early first. False when one met a problem (added to problems).
bool finishScans(Scans& scans, bool stop, ProgressBar* bar, std::vector<std::string>* problems) {
  if (stop) stopScans(scans);
  {
    std::unique_lock<std::mutex> hold(scans.lock);
    while (!scans.finished.wait_for(hold, std::chrono::milliseconds(100), [&scans] { return scans.running == 0; }))
      if (bar) showProgress(*bar, scans.done);
  }
  for (std::thread& thread : scans.threads) thread.join();
  scans.threads.clear();
  problems->insert(problems->end(), scans.problems.begin(), scans.problems.end());
  return scans.problems.empty();
}

// Waits until NEW's part is compared, drawing the progress meanwhile; false
// when the scans stop first.
bool awaitCompared(Scans& scans, std::size_t part, ProgressBar& bar) {
  std::unique_lock<std::mutex> hold(scans.lock);
  while (!scans.compared[part]) {
    if (scans.stop || scans.running == 0) return false;
    scans.finished.wait_for(hold, std::chrono::milliseconds(100));
    showProgress(bar, scans.done);
  }
  return true;
}

// The type-1 packages, written part by part in NEW's order (archive, then
// offset) as the scans compare them, and flushed as they grow, so that
// little is left to wait for when the last part is read.
// False when a package cannot be written (error says why) or the scans
// stopped (their problems say why).
bool writeKeyPackages(Scans& scans, const InstallTree& newTree, PackageOutput* output, ProgressBar& bar,
                      std::string* error) {
  KeyPackageWriter writer(newTree, output);
  for (std::size_t part = 0; part < scans.changes.size(); ++part) {
    if (!awaitCompared(scans, part, bar)) return false;
    for (const StoredKey& key : scans.changes[part])
      if (!writer.add(key, error)) return false;
    if (!writer.flushAsItGrows(error)) return false;
  }
  return writer.finish(error);
}

// A live entry of an index by its key: its flat position. Sizes are not
// paired: the digest covers them (XXH3 mixes the length into every digest),
// and the smaller record sorts faster in less fresh memory.
struct KeyedEntry {
  std::uint32_t key;
  std::uint32_t flat;
};

// Sorts entries whose keys share their top bits by the other 21, in three
// passes of 7 bits through scratch: for a bucket of a few KiB, every pass
// stays in the processor's nearest cache.
void sortByLowBits(KeyedEntry* entries, std::size_t count, std::vector<KeyedEntry>& scratch) {
  if (count < 2) return;
  constexpr int kPasses = 3, kBits = 7;
  constexpr std::uint32_t kMask = (1u << kBits) - 1;
  std::uint32_t at[kPasses][kMask + 1] = {};  // counts fit: flat positions are 32 bits
  for (std::size_t i = 0; i < count; ++i)
    for (int pass = 0; pass < kPasses; ++pass) ++at[pass][(entries[i].key >> (pass * kBits)) & kMask];
  if (scratch.size() < count) scratch.resize(count);
  KeyedEntry* from = entries;
  KeyedEntry* to = scratch.data();
  for (int pass = 0; pass < kPasses; ++pass) {
    std::uint32_t sum = 0;
    for (std::uint32_t& bucket : at[pass]) {
      std::uint32_t here = bucket;
      bucket = sum;
      sum += here;
    }
    for (std::size_t i = 0; i < count; ++i) to[at[pass][(from[i].key >> (pass * kBits)) & kMask]++] = from[i];
    std::swap(from, to);
  }
  // An odd number of passes leaves the result in scratch.
  std::memcpy(entries, from, count * sizeof(KeyedEntry));
}

// The live entries of an index sorted by key. Keys are name hashes, spread
// over all 32 bits: one pass deals the entries, straight from the index,
// into buckets by their top 11 bits (a few KiB each for a million keys),
// and each bucket is then sorted by the rest of its keys where it stays in
// the processor's cache; a radix sort over the whole list would sweep it
// several times, and looking each key up in the other index's key table
// would miss the cache each time. Keys bunched in a few buckets sort just as
// right, only slower. scratch is the buckets' working list, kept from sort
// to sort.
platform::LargeTable<KeyedEntry> entriesByKey(const archive::ArchiveSet& index, std::vector<KeyedEntry>& scratch) {
  constexpr int kTopBits = 11, kTopShift = 32 - kTopBits;
  std::vector<std::size_t> bucketStart((std::size_t(1) << kTopBits) + 1);  // and where the last ends
  forEachLiveEntry(
      index, [&bucketStart](const archive::FileEntry& e, std::uint32_t) { ++bucketStart[(e.key >> kTopShift) + 1]; });
  for (std::size_t b = 1; b < bucketStart.size(); ++b) bucketStart[b] += bucketStart[b - 1];
  platform::LargeTable<KeyedEntry> sorted(bucketStart.back());
  std::vector<std::size_t> next(bucketStart.begin(), bucketStart.end() - 1);
  forEachLiveEntry(index, [&sorted, &next](const archive::FileEntry& e, std::uint32_t flat) {
    sorted[next[e.key >> kTopShift]++] = {e.key, flat};
  });
  for (std::size_t b = 0; b + 1 < bucketStart.size(); ++b)
    sortByLowBits(sorted.data() + bucketStart[b], bucketStart[b + 1] - bucketStart[b], scratch);
  return sorted;
}

// For each of NEW's entries (by flat position), the flat position of OLD's
// entry of the same key, or kUnpaired: NEW stores the key anew.
// Also the keys NEW lacks, ascending, and the keys an index lists more than
// once (which makes the pairing meaningless), for each tree.
struct Pairing {
  platform::LargeTable<std::uint32_t> paired;
  std::vector<std::uint32_t> keysNewLacks;
  std::vector<std::uint32_t> repeatedInOld, repeatedInNew;
};

// The keys a sorted list holds more than once, each once.
std::vector<std::uint32_t> repeatedKeys(const platform::LargeTable<KeyedEntry>& sorted) {
  std::vector<std::uint32_t> repeated;
  for (std::size_t i = 1; i < sorted.size(); ++i)
    if (sorted[i].key == sorted[i - 1].key && (repeated.empty() || repeated.back() != sorted[i].key))
      repeated.push_back(sorted[i].key);
  return repeated;
}

Pairing pairEntries(const archive::ArchiveSet& oldIndex, const archive::ArchiveSet& newIndex) {
  Pairing pairing;
  std::vector<KeyedEntry> scratch;
  platform::LargeTable<KeyedEntry> olds = entriesByKey(oldIndex, scratch);
  platform::LargeTable<KeyedEntry> news = entriesByKey(newIndex, scratch);
  pairing.paired.assign(flatStarts(newIndex).back(), kUnpaired);
  pairing.repeatedInOld = repeatedKeys(olds);
  pairing.repeatedInNew = repeatedKeys(news);
  if (!pairing.repeatedInOld.empty() || !pairing.repeatedInNew.empty()) return pairing;
  std::size_t i = 0, j = 0;
  while (i < olds.size()) {
    while (j < news.size() && news[j].key < olds[i].key) ++j;
    if (j < news.size() && news[j].key == olds[i].key) {
      pairing.paired[news[j].flat] = olds[i].flat;
    } else {
      pairing.keysNewLacks.push_back(olds[i].key);
    }
    ++i;
  }
  return pairing;
}

// The problems of keys a tree's index lists more than once.
void addRepeatedKeys(const InstallTree& tree, const std::vector<std::uint32_t>& repeated,
                     std::vector<std::string>* problems) {
  for (std::uint32_t key : repeated) problems->push_back(tree.named + ": " + repeatedKeyProblem(key));
}

// Loose files, byte for byte. Deletions go first when applied, so a NEW file
// may take the name of an OLD file; but no package removes a directory, and
// none may write over one of OLD's archives.
bool diffLooseFiles(const InstallTree& oldTree, const InstallTree& newTree, ReleaseDiff* diff,
                    std::vector<std::string>* problems) {
  const std::vector<LooseFile>& olds = oldTree.looseFiles;
  const std::vector<LooseFile>& news = newTree.looseFiles;
  std::size_t i = 0, j = 0;
  while (i < olds.size() || j < news.size()) {
    if (j == news.size() || (i < olds.size() && olds[i].name < news[j].name)) {
      diff->deletedFiles.push_back(olds[i++].name);
    } else if (i == olds.size() || news[j].name < olds[i].name) {
      diff->writtenFiles.push_back(news[j++]);
    } else {
      bool same = olds[i].size == news[j].size;
      std::string error;
      if (same && !filesHoldSameBytes(treePath(oldTree, olds[i].name), treePath(newTree, news[j].name), news[j].size,
                                      &same, &error)) {
        problems->push_back(error);
        return false;
      }
      if (!same) diff->writtenFiles.push_back(news[j]);
      ++i;
      ++j;
    }
  }
  std::vector<std::string> oldDirectories;
  for (const std::string& d : oldTree.directories) oldDirectories.push_back(archive::windowsFoldedName(d));
  std::sort(oldDirectories.begin(), oldDirectories.end());
  for (const LooseFile& f : diff->writtenFiles) {
    if (std::binary_search(oldDirectories.begin(), oldDirectories.end(), archive::windowsFoldedName(f.name)))
      problems->push_back(newTree.named + ": " + f.name + " is a file where " + oldTree.named +
                          " has a directory, and no patch removes a directory");
    if (archive::namesArchiveSetFile(oldTree.index, f.name.c_str()))
      problems->push_back(newTree.named + ": " + f.name + " has the name of an archive of " + oldTree.named +
                          ", which a patch cannot write");
  }
  return problems->empty();
}

// The launchers' and the clients' executables and the player's settings are
// not published by patches; the operator hears when the releases differ.
void noteMachineryChanges(const InstallTree& oldTree, const InstallTree& newTree, ReleaseDiff* diff) {
  for (const ReleaseMachinery& w : releaseMachinery()) {
    const LooseFile* in[2] = {nullptr, nullptr};
    const InstallTree* trees[2] = {&oldTree, &newTree};
    for (int side = 0; side < 2; ++side)
      for (const LooseFile& f : trees[side]->topMachinery)
        if (archive::windowsFoldedName(f.name) == archive::windowsFoldedName(w.name)) in[side] = &f;
    bool same = (!in[0] && !in[1]);
    if (in[0] && in[1] && in[0]->size == in[1]->size) {
      std::string ignored;
      if (!filesHoldSameBytes(treePath(oldTree, in[0]->name), treePath(newTree, in[1]->name), in[0]->size, &same,
                              &ignored))
        same = false;
    }
    if (!same) diff->notes.push_back(w.name + " differs between the releases: " + w.advice);
  }
}

}  // namespace

DiffOutcome diffInstallations(const std::string& oldDir, const std::string& newDir, bool allowStaleKeys,
                              InstallTree* oldTree, InstallTree* newTree, ReleaseDiff* diff, PackageOutput* output,
                              std::vector<std::uint32_t>* staleKeys, std::vector<std::string>* problems) {
  *diff = ReleaseDiff();
  staleKeys->clear();
  problems->clear();
  // The two indexes are read side by side. Once both are known and checked,
  // a few threads read the archives while the main thread goes on with the
  // rest.
  if (!locateTree(oldDir, oldTree, problems) || !locateTree(newDir, newTree, problems)) {
    boundProblems(*problems);
    return DiffOutcome::kFailed;
  }
  // The key lookups the indexes would build are not needed: the keys are
  // paired by sorting, which also finds those listed twice.
  std::vector<std::string> newProblems;
  bool newIndexRead = false;
  std::thread newIndexReader([&] { newIndexRead = readTreeIndex(newTree, &newProblems, archive::KeyLookup::kNone); });
  bool oldRead = readTreeIndex(oldTree, problems, archive::KeyLookup::kNone) && walkTree(oldTree, problems);
  newIndexReader.join();
  if (!oldRead) {
    boundProblems(*problems);
    return DiffOutcome::kFailed;
  }
  if (!newIndexRead || !walkTree(newTree, &newProblems)) {
    *problems = newProblems;
    boundProblems(*problems);
    return DiffOutcome::kFailed;
  }
  Scans scans;
  startScans(scans, *oldTree, *newTree);
  auto stopWith = [&](DiffOutcome outcome) {
    finishScans(scans, true, nullptr, problems);
    boundProblems(*problems);
    return outcome;
  };
  Pairing pairing = pairEntries(oldTree->index, newTree->index);
  addRepeatedKeys(*oldTree, pairing.repeatedInOld, problems);
  addRepeatedKeys(*newTree, pairing.repeatedInNew, problems);
  if (!problems->empty()) return stopWith(DiffOutcome::kFailed);
  *staleKeys = pairing.keysNewLacks;
  if (!staleKeys->empty() && !allowStaleKeys) return stopWith(DiffOutcome::kStaleKeys);
  std::uint64_t firstNumber =
      output->nextNumber != 0 ? output->nextNumber : std::uint64_t(oldTree->index.baseVersion) + 1;
  if (firstNumber > 0xFFFF) {
    problems->push_back(oldTree->named + " is at version " + std::to_string(oldTree->index.baseVersion) +
                        ", and 65535 is the last patch number");
    return stopWith(DiffOutcome::kFailed);
  }
  output->nextNumber = static_cast<std::uint32_t>(firstNumber);
  givePairing(scans, pairing.paired);
  ProgressBar bar = startProgress("reading archives", liveBytes(oldTree->index) + liveBytes(newTree->index));
  bool looseDone = diffLooseFiles(*oldTree, *newTree, diff, problems);
  std::string writeError;
  bool keysWritten = looseDone && writeKeyPackages(scans, *newTree, output, bar, &writeError);
  if (!finishScans(scans, !keysWritten, &bar, problems) || !keysWritten) {
    if (!writeError.empty()) problems->push_back(writeError);
    if (bar.enabled) std::fputc('\n', stderr);
    boundProblems(*problems);
    return DiffOutcome::kFailed;
  }
  finishProgress(bar);
  noteMachineryChanges(*oldTree, *newTree, diff);
  return DiffOutcome::kDone;
}

}  // namespace vlmpatch
