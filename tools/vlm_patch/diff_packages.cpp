#include "tools/vlm_patch/diff_packages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "archive/package_format.h"
#include "platform/status.h"
#include "tools/vlm_patch/diff.h"
#include "tools/vlm_patch/server_dir.h"

namespace vlmpatch {

namespace fs = std::filesystem;

namespace {

// Whether an item of itemSize bytes still goes into a package holding count
// items in bytes bytes: the one rule packages are cut by.
bool fitsInPackage(std::size_t count, std::uint64_t bytes, std::uint64_t itemSize, std::size_t maxItems,
                   std::uint64_t maxBytes) {
  return count < maxItems && bytes + itemSize <= maxBytes;
}

// A write that failed, with the system's reason: call it straight after the
// failing call, before any other.
std::string cannotWrite(const std::string& path) { return "cannot write " + path + ": " + platform::lastSystemError(); }

// Begins the package of that number and type under its temporary name, with
// the count stated when it is finished (finishPackage), and records it in
// the output.
bool beginPackage(PackageOutput& output, archive::PackageFileWriter& writer, std::uint8_t type, std::uint32_t number,
                  std::size_t first, std::string* error) {
  if (number > 0xFFFF) {
    *error = "the packages would be numbered past 65535, the last patch number";
    return false;
  }
  if (!makeOutputDirectory(&output, error)) return false;
  std::string temporary = temporaryNameFor(output.outDir, packageFileName(number));
  output.temporaries.push_back(temporary);
  PlannedPackage package;
  package.type = type;
  package.number = number;
  package.first = first;
  package.bytes = archive::kPackageHeaderSize;
  output.packages.push_back(package);
  output.nextNumber = number + 1;
  std::uint8_t seed = static_cast<std::uint8_t>(std::random_device()() & 0xFF);
  if (!archive::beginPackageFile(writer, temporary.c_str(), seed, static_cast<std::uint16_t>(number), type, 0)) {
    *error = cannotWrite(temporary);
    return false;
  }
  return true;
}

// Finishes the package begun last, whose items were all written.
bool finishPackage(PackageOutput& output, archive::PackageFileWriter& writer, std::string* error) {
  if (archive::restatePackageItemCount(writer) && archive::finishPackageFile(writer)) return true;
  *error = cannotWrite(output.temporaries.back());
  return false;
}

// An item's data read from a file, from offset on. Once a read fails the
// rest is zeros and failure says why (it stays empty while all is well):
// the package is then thrown away.
struct FileData {
  platform::FileHandle file;
  std::uint64_t offset;
  std::string* failure;
  ProgressBar* bar;  // or nullptr
  std::uint64_t* done;

  void operator()(std::uint64_t from, char* buffer, std::size_t length) const {
    if (failure->empty()) {
      std::int64_t read = platform::readFileAt(file, offset + from, buffer, length);
      if (read < 0)
        *failure = platform::lastSystemError();
      else if (read != static_cast<std::int64_t>(length))
        *failure = "it ends before the bytes diff read there";
    }
    if (!failure->empty()) std::memset(buffer, 0, length);
    *done += length;
    if (bar) showProgress(*bar, *done);
  }
};

std::string changedWhileWriting(const InstallTree& tree, std::uint32_t number, const std::string& name,
                                const std::string& reason) {
  return "a file of " + tree.named + " changed or could not be read while " + packageFileName(number) +
         " was written: " + name + ": " + reason;
}

// Puts a package's temporary file in place as target, flushed, as
// commitTemporary does, but first gives its header the number: the key
// packages are written while the diff still reads NEW, before it knows how
// many packages there are, and so (with --last) which numbers they take.
bool placePackage(const std::string& temporary, std::uint32_t number, const std::string& target, std::string* error) {
  platform::File file(platform::openFileForExclusiveUpdate(temporary.c_str()));
  if (!file) {
    *error = "cannot open " + temporary + ": " + platform::lastSystemError();
    return false;
  }
  unsigned char bytes[archive::kPackageHeaderSize];
  std::int64_t read = platform::readFileAt(file.get(), 0, bytes, sizeof bytes);
  if (read != static_cast<std::int64_t>(sizeof bytes)) {
    *error = "cannot read " + temporary + ": " +
             (read < 0 ? platform::lastSystemError() : std::string("it ends within its header"));
    return false;
  }
  archive::PackageHeader header = archive::decodePackageHeader(bytes);
  if (header.version != number) {
    header.version = static_cast<std::uint16_t>(number);
    std::string renumbered;
    archive::appendPackageHeader(renumbered, header);
    if (!platform::writeFileAt(file.get(), 0, renumbered.data(), renumbered.size())) {
      *error = cannotWrite(temporary);
      return false;
    }
  }
  if (!platform::flushFileToDisk(file.get())) {
    *error = cannotWrite(temporary);
    return false;
  }
  file.reset();  // closed before the rename: Windows renames no open file
  if (!platform::replaceFileAtomically(temporary.c_str(), target.c_str())) {
    *error = "cannot put " + target + " in place: " + platform::lastSystemError();
    return false;
  }
  return true;
}

// Gives every package of the output its numbered name, in order; on failure
// those already placed are removed again.
bool placePackages(PackageOutput& output, std::string* error) {
  std::vector<std::string> placed;
  for (std::size_t i = 0; i < output.packages.size(); ++i) {
    std::uint32_t number = output.packages[i].number;
    std::string target = joinPath(output.outDir, packageFileName(number));
    if (!placePackage(output.temporaries[i], number, target, error)) {
      for (const std::string& p : placed) platform::deleteFile(p.c_str());
      return false;
    }
    placed.push_back(target);
  }
  output.temporaries.clear();
  output.placed = true;
  return true;
}

}  // namespace

std::uint64_t packageBytesWithin(std::uint64_t maxPatchBytes) {
  return maxPatchBytes - storedRarOverhead(packageFileName(0xFFFF).size());
}

std::uint64_t itemBytes(std::uint8_t type, std::size_t nameLength, std::uint64_t dataLength) {
  std::uint64_t head = 4;  // the data length
  if (archive::itemHasKey(type)) head += 4;
  if (archive::itemHasName(type)) head += 4 + nameLength;
  return head + dataLength;
}

std::vector<std::pair<std::size_t, std::size_t>> splitItems(const std::vector<std::uint64_t>& sizes,
                                                            std::size_t maxItems, std::uint64_t maxBytes) {
  std::vector<std::pair<std::size_t, std::size_t>> packages;
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    if (packages.empty() || !fitsInPackage(packages.back().second, bytes, sizes[i], maxItems, maxBytes)) {
      packages.push_back({i, 0});
      bytes = archive::kPackageHeaderSize;
    }
    packages.back().second += 1;
    bytes += sizes[i];
  }
  return packages;
}

void numberPackagesFrom(std::uint32_t first, std::uint32_t padding, PackageOutput* output,
                        std::vector<PlannedPackage>* plan) {
  std::uint32_t number = first;
  for (PlannedPackage& package : output->packages) package.number = number++;
  for (PlannedPackage& package : *plan) package.number = number++;
  for (std::uint32_t i = 0; i < padding; ++i) {
    PlannedPackage empty;
    empty.type = kEmptyPackageType;
    empty.number = number++;
    empty.bytes = archive::kPackageHeaderSize;
    plan->push_back(empty);
  }
  output->nextNumber = number;
}

std::string packageFileName(std::uint32_t number) { return std::to_string(number) + ".dat"; }

bool parsePackageFileName(const std::string& name, std::uint32_t* number) {
  std::size_t digits = name.size() > 4 ? name.size() - 4 : 0;
  if (digits == 0 || digits > 5 || name.compare(digits, 4, ".dat") != 0) return false;
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    if (name[i] < '0' || name[i] > '9' || (i == 0 && name[i] == '0' && digits > 1)) return false;
    value = value * 10 + static_cast<std::uint32_t>(name[i] - '0');
  }
  if (value > 0xFFFF) return false;
  *number = value;
  return true;
}

bool planPackages(const ReleaseDiff& diff, std::uint32_t firstNumber, std::uint64_t maxPackageBytes,
                  std::vector<PlannedPackage>* plan, std::string* error) {
  plan->clear();
  std::vector<std::uint64_t> sizes[2];
  const std::uint8_t types[2] = {4, 3};
  for (const std::string& name : diff.deletedFiles) sizes[0].push_back(itemBytes(4, name.size(), 0));
  for (const LooseFile& f : diff.writtenFiles) {
    if (f.size > 0xFFFFFFFFull) {
      *error = f.name + " is 4 GiB or larger; a patch item holds less";
      return false;
    }
    sizes[1].push_back(itemBytes(3, f.name.size(), f.size));
  }
  std::uint32_t number = firstNumber;
  for (int t = 0; t < 2; ++t) {
    for (const auto& [first, count] : splitItems(sizes[t], kMaxPackageItems, maxPackageBytes)) {
      PlannedPackage package;
      package.type = types[t];
      package.number = number++;
      package.first = first;
      package.count = count;
      package.bytes = archive::kPackageHeaderSize;
      for (std::size_t i = first; i < first + count; ++i) package.bytes += sizes[t][i];
      if (package.bytes > kMaxPackageFileBytes) {
        *error = "an item of " + std::to_string(package.bytes) + " bytes is too large for one patch archive";
        return false;
      }
      plan->push_back(package);
    }
  }
  if (!plan->empty() && plan->back().number > 0xFFFF) {
    *error = "the packages would be numbered " + std::to_string(firstNumber) + " to " +
             std::to_string(plan->back().number) + ", past 65535, the last patch number";
    return false;
  }
  return true;
}

PackageOutput::~PackageOutput() {
  for (const std::string& t : temporaries) platform::deleteFile(t.c_str());
  std::error_code ignored;
  if (madeDirectory && !placed) fs::remove(outDir, ignored);  // only while it is empty
}

bool makeOutputDirectory(PackageOutput* output, std::string* error) {
  if (platform::isDirectory(output->outDir.c_str())) return true;
  std::error_code failed;
  output->madeDirectory = !platform::pathExists(output->outDir.c_str());
  fs::create_directories(output->outDir, failed);
  if (!platform::isDirectory(output->outDir.c_str())) {
    *error = "cannot create " + output->outDir + (failed ? ": " + failed.message() : std::string());
    return false;
  }
  return true;
}

bool KeyPackageWriter::add(const StoredKey& k, std::string* error) {
  std::uint64_t size = itemBytes(1, 0, k.size);
  if (!open_ || !fitsInPackage(output_->packages.back().count, output_->packages.back().bytes, size, kMaxPackageItems,
                               output_->maxPackageBytes)) {
    if (!finish(error) || !beginPackage(*output_, writer_, 1, output_->nextNumber, keys_, error)) return false;
    open_ = true;
  }
  PlannedPackage& package = output_->packages.back();
  if (package.bytes + size > kMaxPackageFileBytes) {
    *error = "an item of " + std::to_string(package.bytes + size) + " bytes is too large for one patch archive";
    return false;
  }
  std::string readFailure;
  bool written = false;
  if (k.held) {
    written = archive::addPackageItem(
        writer_, k.key, "", k.size,
        [&k](std::uint64_t from, char* buffer, std::size_t length) { std::memcpy(buffer, k.held + from, length); });
  } else {
    if (!openArchiveOf(k, error)) return false;
    std::uint64_t done = 0;
    written = archive::addPackageItem(writer_, k.key, "", k.size,
                                      FileData{archive_.get(), k.offset, &readFailure, nullptr, &done});
  }
  if (!written) {
    *error = cannotWrite(output_->temporaries.back());
    return false;
  }
  if (!readFailure.empty()) {
    *error = changedWhileWriting(tree_, package.number, tree_.index.archives[k.archive]->archive->name, readFailure);
    return false;
  }
  package.count += 1;
  package.bytes += size;
  writtenBytes_ += size;
  ++keys_;
  return true;
}

bool KeyPackageWriter::flushAsItGrows(std::string* error) {
  if (!open_) return true;
  if (writtenBytes_ - flushedBytes_ < std::max(kFlushStep, flushedBytes_ / kFlushStepShare)) return true;
  // What the writer still holds is written and flushed later.
  if (!platform::flushFileToDisk(writer_.file.get())) {
    *error = cannotWrite(output_->temporaries.back());
    return false;
  }
  flushedBytes_ = writtenBytes_;
  return true;
}

bool KeyPackageWriter::openArchiveOf(const StoredKey& key, std::string* error) {
  if (archiveOpen_ == key.archive) return true;
  std::string path = treePath(tree_, tree_.index.archives[key.archive]->archive->name);
  archive_.reset(platform::openFileForReading(path.c_str()));
  if (!archive_) {
    *error = "cannot read " + path + ": " + platform::lastSystemError();
    archiveOpen_ = ~0u;
    return false;
  }
  archiveOpen_ = key.archive;
  return true;
}

bool KeyPackageWriter::finish(std::string* error) {
  if (!open_) return true;
  open_ = false;
  // A package that holds a flush step or more not yet flushed is flushed
  // now, while NEW is still read, rather than when it is put in place;
  // what the writer still holds (less than its chunk) waits for that.
  if (writtenBytes_ - flushedBytes_ >= kFlushStep) {
    if (!platform::flushFileToDisk(writer_.file.get())) {
      *error = cannotWrite(output_->temporaries.back());
      return false;
    }
    flushedBytes_ = writtenBytes_;
  }
  return finishPackage(*output_, writer_, error);
}

bool writePackages(const InstallTree& newTree, const ReleaseDiff& diff, const std::vector<PlannedPackage>& plan,
                   PackageOutput* output, std::string* error) {
  std::uint64_t total = 0;
  for (const PlannedPackage& p : plan) total += p.bytes;
  ProgressBar bar;  // shown only when there are packages to write here
  if (!plan.empty()) bar = startProgress("writing packages", total);
  std::uint64_t done = 0;
  for (const PlannedPackage& planned : plan) {
    archive::PackageFileWriter writer;
    if (!beginPackage(*output, writer, planned.type, planned.number, planned.first, error)) return false;
    std::string readFailure;
    bool written = true;
    for (std::size_t i = planned.first; written && readFailure.empty() && i < planned.first + planned.count; ++i) {
      if (planned.type == 4) {
        written = archive::addPackageItem(writer, 0, diff.deletedFiles[i], 0, nullptr);
      } else {
        const LooseFile& f = diff.writtenFiles[i];
        platform::File file(platform::openFileForReading(treePath(newTree, f.name).c_str()));
        std::uint64_t size = 0;
        if (!file || !platform::getFileSize(file.get(), &size)) {
          readFailure = platform::lastSystemError();
        } else if (size != f.size) {  // the size the walk saw, or the file changed since
          readFailure = "it holds " + std::to_string(size) + " bytes, diff found " + std::to_string(f.size);
        } else {
          written = archive::addPackageItem(writer, 0, f.name, static_cast<std::uint32_t>(f.size),
                                            FileData{file.get(), 0, &readFailure, &bar, &done});
        }
        if (written && !readFailure.empty()) *error = changedWhileWriting(newTree, planned.number, f.name, readFailure);
      }
      if (!written) *error = cannotWrite(output->temporaries.back());
    }
    if (!written || !readFailure.empty() || !finishPackage(*output, writer, error)) {
      if (bar.enabled) std::fputc('\n', stderr);
      return false;
    }
    output->packages.back() = planned;
  }
  if (!plan.empty()) finishProgress(bar);
  return makeOutputDirectory(output, error) && placePackages(*output, error);
}

}  // namespace vlmpatch
