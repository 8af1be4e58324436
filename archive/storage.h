// Storing files in the archive set.
//
// An archive file is the plain concatenation of the data of its stored
// files in the order they were appended: no header, no per-file header, no
// padding, no trailer. Only the index knows which bytes belong to which
// file. Archives only grow: every append goes to the current end, no byte
// once written is overwritten, and a replaced file's bytes stay in place,
// unreferenced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/index.h"
#include "platform/status.h"

namespace archive {

// Data goes into an archive only while the archive's size plus the data's
// size stays at most this (1908 MiB, deliberately not 2 GiB).
constexpr std::uint32_t kArchiveSizeLimit = 0x77400000;
// archiveFileSize when the archive's file is not open or cannot be measured.
constexpr std::uint64_t kUnknownArchiveSize = ~std::uint64_t{0};

// Supplies length bytes of a file's data starting at byte `from`; false when
// it cannot. Lets large data pass from a patch package to an archive in
// bounded chunks.
using DataReader = std::function<bool(std::uint64_t from, void* buffer, std::size_t length)>;

// The calls below that store data give a platform::Status: ok only when the
// bytes lie where the new entry says; else the reason, with the system's own
// text for a write that failed ("GAME0.VFS cannot be written: No space left
// on device"), or "the data cannot be read" when the reader failed.

// Stores size bytes of data under key in the process-wide archiveSet; takes
// ownership of data. A failure (the set unchanged but for a new archive
// file) when data is null, no archive can take it or the write fails.
platform::Status addFile(std::uint32_t key, std::unique_ptr<std::uint8_t[]> data, std::uint32_t size);
// The same on any set, with the data coming from a reader.
platform::Status addFileFromReader(ArchiveSet& set, std::uint32_t key, std::uint32_t size, const DataReader& read);

// The first archive in set order whose file has room for size more bytes;
// archives whose file is not open are passed over. nullptr when none has.
ArchiveSlot* findArchiveWithRoom(ArchiveSet& set, std::uint32_t size);

// The name for the next new archive: "GAME<n>.VFS" with n = archiveCount, or
// the next n whose name no archive in the set has yet.
std::string newArchiveName(const ArchiveSet& set);

// Creates the archive file `name` empty, opens it and appends it to the set.
// A file left over under that name is cut to zero length. nullptr (and the
// set unchanged) when the set has 255 archives, the name is longer than 31
// bytes or already an archive's name, or the file cannot be created and
// held: another process holds it (left whole), or the name is a link.
ArchiveSlot* createArchive(ArchiveSet& set, const std::string& name);

// Takes the first entry of key in set order out of its list; true when one
// was there. The file's bytes stay in the archive.
bool removeEntryByKey(ArchiveSet& set, std::uint32_t key);

// Appends size bytes of data (owned, released here) at the end of archive's
// file and records an entry for them, unless the archive already lists key.
// A failure when data is null, the archive's file is not open, the bytes
// would lie beyond 4 GiB or the write fails; then nothing is recorded.
platform::Status appendToArchive(ArchiveSet& set, Archive& archive, std::uint32_t key,
                                 std::unique_ptr<std::uint8_t[]> data, std::uint32_t size);
// The same with the data coming from a reader.
platform::Status appendFromReader(ArchiveSet& set, Archive& archive, std::uint32_t key, std::uint32_t size,
                                  const DataReader& read);

// The archive file's current size, or kUnknownArchiveSize. Learnt from the
// system once, then kept up to date by this process's appends.
std::uint64_t archiveFileSize(Archive& archive);

// Storing a run of files as addFile would, one after another, with the data
// of consecutive small files bound for the same archive gathered into one
// write: a package of many small items would otherwise cost a write call
// per item. Archive choice, offsets, removals and entry order come out
// exactly as with addFile per file. A file's entry is recorded only once
// its bytes are written; `stored` is called after each file is recorded.
constexpr std::uint32_t kBatchedFileLimit = 64u << 10;  // larger files are written on their own
constexpr std::size_t kBatchBytes = 1u << 20;

// The gathered files and the room they take: the batch answers for its own
// archive's size while its bytes are not yet written.
struct FileBatch {
  ArchiveSlot* slot = nullptr;  // the archive the gathered files go to
  std::uint64_t start = 0;      // where their bytes start in its file
  std::vector<unsigned char> bytes;
  std::vector<FileEntry> files;  // key, offset and size of each gathered file, in order

  // Where the archive's file ends once the gathered bytes are written.
  std::uint64_t end() const { return start + bytes.size(); }
  // The size of an archive's file counting the gathered bytes as written:
  // end() for the batch's archive, archiveFileSize for any other.
  std::uint64_t countedSize(ArchiveSlot& archive) const;
  // Whether a file of size bytes bound for target joins the batch rather
  // than starting a new one: the same archive, the batch within
  // kBatchBytes, every byte within 4 GiB.
  bool canJoin(const ArchiveSlot* target, std::uint32_t size) const;
  // Empties the batch (nothing is written).
  void clear();
};

using StoredCallback = std::function<void()>;

// Adds one file to the batch, writing the batch first when the file cannot
// join it. A failure when a write or a read fails or no archive can take the
// file; the files before it are then stored (and reported) as far as their
// own write succeeded.
platform::Status batchAddFile(ArchiveSet& set, FileBatch& batch, std::uint32_t key, std::uint32_t size,
                              const DataReader& read, const StoredCallback& stored);
// Writes the gathered files and records their entries; a failure when the
// write fails, and then none of them is recorded.
platform::Status flushFileBatch(ArchiveSet& set, FileBatch& batch, const StoredCallback& stored);

}  // namespace archive
