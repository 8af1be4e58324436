#include "tools/vlm_patch/diff_packages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "archive/package_format.h"
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
    *error = "cannot write " + temporary;
    return false;
  }
  return true;
}

bool finishPackage(PackageOutput& output, archive::PackageFileWriter& writer, std::string* error) {
  bool stated = archive::restatePackageItemCount(writer);
  if (!archive::finishPackageFile(writer) || !stated) {
    *error = "cannot write " + output.temporaries.back();
    return false;
  }
  return true;
}

// An item's data read from a file, from offset on. Once a read fails the
// rest is zeros and failed says so: the package is then thrown away.
struct FileData {
  platform::FileHandle file;
  std::uint64_t offset;
  bool* failed;
  ProgressBar* bar;  // or nullptr
  std::uint64_t* done;

  void operator()(std::uint64_t from, char* buffer, std::size_t length) const {
    if (*failed || file == platform::kNoFile ||
        platform::readFileAt(file, offset + from, buffer, length) != static_cast<std::int64_t>(length)) {
      std::memset(buffer, 0, length);
      *failed = true;
    }
    *done += length;
    if (bar) showProgress(*bar, *done);
  }
};

std::string changedWhileWriting(const InstallTree& tree, std::uint32_t number) {
  return "a file of " + tree.named + " changed or could not be read while " + packageFileName(number) + " was written";
}

// Gives every package of the output its numbered name, in order; on failure
// those already placed are removed again.
bool placePackages(PackageOutput& output, std::string* error) {
  std::vector<std::string> placed;
  for (const PlannedPackage& package : output.packages) {
    std::string name = packageFileName(package.number);
    if (!commitTemporary(output.outDir, name, error)) {
      for (const std::string& p : placed) platform::deleteFile(p.c_str());
      return false;
    }
    placed.push_back(joinPath(output.outDir, name));
  }
  output.temporaries.clear();
  output.placed = true;
  return true;
}

}  // namespace

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

bool planPackages(const ReleaseDiff& diff, std::uint32_t firstNumber, std::vector<PlannedPackage>* plan,
                  std::string* error) {
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
    for (const auto& [first, count] : splitItems(sizes[t], kMaxPackageItems, kMaxPackageBytes)) {
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
  std::error_code ignored;
  output->madeDirectory = !platform::pathExists(output->outDir.c_str());
  fs::create_directories(output->outDir, ignored);
  if (!platform::isDirectory(output->outDir.c_str())) {
    *error = "cannot create " + output->outDir;
    return false;
  }
  return true;
}

bool KeyPackageWriter::add(const StoredKey& k, std::string* error) {
  std::uint64_t size = itemBytes(1, 0, k.size);
  if (!open_ || !fitsInPackage(output_->packages.back().count, output_->packages.back().bytes, size, kMaxPackageItems,
                               kMaxPackageBytes)) {
    if (!finish(error) || !beginPackage(*output_, writer_, 1, output_->nextNumber, keys_, error)) return false;
    open_ = true;
    flushedBytes_ = 0;
  }
  PlannedPackage& package = output_->packages.back();
  if (package.bytes + size > kMaxPackageFileBytes) {
    *error = "an item of " + std::to_string(package.bytes + size) + " bytes is too large for one patch archive";
    return false;
  }
  bool readFailed = false;
  bool written = false;
  if (k.held) {
    written = archive::addPackageItem(
        writer_, k.key, "", k.size,
        [&k](std::uint64_t from, char* buffer, std::size_t length) { std::memcpy(buffer, k.held + from, length); });
  } else {
    std::uint64_t done = 0;
    written = archive::addPackageItem(writer_, k.key, "", k.size,
                                      FileData{archiveHolding(k), k.offset, &readFailed, nullptr, &done});
  }
  if (readFailed) {
    *error = changedWhileWriting(tree_, package.number);
    return false;
  }
  if (!written) {
    *error = "cannot write " + output_->temporaries.back();
    return false;
  }
  package.count += 1;
  package.bytes += size;
  ++keys_;
  return true;
}

bool KeyPackageWriter::flushAsItGrows(std::string* error) {
  if (!open_) return true;
  std::uint64_t bytes = output_->packages.back().bytes;
  if (bytes - flushedBytes_ < std::max(kFlushStep, flushedBytes_ / kFlushStepShare)) return true;
  // What the writer still holds is written and flushed later.
  if (!platform::flushFileToDisk(writer_.file.get())) {
    *error = "cannot write " + output_->temporaries.back();
    return false;
  }
  flushedBytes_ = bytes;
  return true;
}

platform::FileHandle KeyPackageWriter::archiveHolding(const StoredKey& key) {
  if (archiveOpen_ != key.archive) {
    archiveOpen_ = key.archive;
    archive_.reset(
        platform::openFileForReading(treePath(tree_, tree_.index.archives[key.archive]->archive->name).c_str()));
  }
  return archive_.get();
}

bool KeyPackageWriter::finish(std::string* error) {
  if (!open_) return true;
  open_ = false;
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
    bool readFailed = false;
    bool written = true;
    for (std::size_t i = planned.first; written && !readFailed && i < planned.first + planned.count; ++i) {
      if (planned.type == 4) {
        written = archive::addPackageItem(writer, 0, diff.deletedFiles[i], 0, nullptr);
        continue;
      }
      const LooseFile& f = diff.writtenFiles[i];
      platform::File file(platform::openFileForReading(treePath(newTree, f.name).c_str()));
      std::uint64_t size = 0;
      // The size the walk saw, or the file changed since.
      if (!file || !platform::getFileSize(file.get(), &size) || size != f.size) readFailed = true;
      written = archive::addPackageItem(writer, 0, f.name, static_cast<std::uint32_t>(f.size),
                                        FileData{file.get(), 0, &readFailed, &bar, &done});
    }
    bool finished = finishPackage(*output, writer, error);
    if (readFailed)
      *error = changedWhileWriting(newTree, planned.number);
    else if (!written)
      *error = "cannot write " + output->temporaries.back();
    if (!finished || readFailed || !written) {
      if (bar.enabled) std::fputc('\n', stderr);
      return false;
    }
    output->packages.back() = planned;
  }
  if (!plan.empty()) finishProgress(bar);
  return makeOutputDirectory(output, error) && placePackages(*output, error);
}

}  // namespace vlmpatch
