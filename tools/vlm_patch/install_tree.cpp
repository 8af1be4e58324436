#include "tools/vlm_patch/install_tree.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "archive/install_path.h"
#include "archive/package_format.h"
#include "platform/file.h"
#include "update/launcher_replace.h"
#include "update/server_files.h"

namespace vlmpatch {

namespace fs = std::filesystem;

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Problems are collected whole and cut to the listed count at the end.
using Problems = std::vector<std::string>;

// Works in the installation for as long as it lives: the link checks of the
// platform resolve names from the working directory.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) {
    previous_ = fs::current_path(failed_);
    if (!failed_) fs::current_path(dir, failed_);
  }
  ~InDirectory() {
    std::error_code ignored;
    if (!previous_.empty()) fs::current_path(previous_, ignored);
  }
  InDirectory(const InDirectory&) = delete;
  InDirectory& operator=(const InDirectory&) = delete;
  bool entered() const { return !failed_; }

 private:
  fs::path previous_;
  std::error_code failed_;
};

bool endsWith(const std::string& text, const char* end) {
  std::string tail(end);
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// "<n>.rar" and "<n>.dat" as the patch loop writes them ("%i": an optional
// minus and digits).
bool isPatchLoopName(const std::string& folded) {
  std::size_t dot = folded.find('.');
  if (dot == std::string::npos) return false;
  std::string number = folded.substr(0, dot), suffix = folded.substr(dot);
  if (suffix != ".rar" && suffix != ".dat") return false;
  std::size_t digits = number.size() > 0 && number[0] == '-' ? 1 : 0;
  if (digits >= number.size()) return false;
  for (std::size_t i = digits; i < number.size(); ++i)
    if (!std::isdigit(static_cast<unsigned char>(number[i]))) return false;
  return true;
}

// Whether the name, relative to the working directory, is a regular file:
// a pipe or a device would hold up whoever opens it.
bool isPlainFile(const std::string& name) {
  std::error_code failed;
  return fs::is_regular_file(fs::symlink_status(platform::nativePath(name.c_str()), failed));
}

// The archives data.idx lists: names that stay inside, regular files that
// are no links, entries within their files, each key once.
void checkArchives(const InstallTree& tree, Problems& problems) {
  const archive::ArchiveSet& index = tree.index;
  for (std::uint32_t key : index.duplicatedKeys) problems.push_back(repeatedKeyProblem(key));
  for (const auto& slot : index.archives) {
    const archive::Archive& archive = *slot->archive;
    const std::string& name = archive.name;
    if (!archive::isInstallRelativeName(name.c_str())) {
      problems.push_back("data.idx names an archive outside the installation: " + name);
      continue;
    }
    if (platform::nameCrossesLink(name.c_str())) {
      problems.push_back("the archive " + name + " is a link or lies behind one; links are not followed");
      continue;
    }
    if (!isPlainFile(name)) {
      if (platform::pathExists(name.c_str()))
        problems.push_back("the archive " + name + " is not a regular file");
      else if (!archive.entries.empty())
        problems.push_back("the archive " + name + " that data.idx lists is missing");
      continue;
    }
    platform::File file(platform::openFileForReading(name.c_str()));
    std::uint64_t size = 0;
    bool measured = file && platform::getFileSize(file.get(), &size);
    if (!measured) {
      problems.push_back("the archive " + name + " cannot be read");
      continue;
    }
    for (std::size_t n = 0; n < archive.entries.size(); ++n) {
      const archive::FileEntry& e = archive.entries[n];
      if (archive::isRemoved(archive, n)) continue;
      if (static_cast<std::uint64_t>(e.offset) + e.size > size)
        problems.push_back("key " + hexKey(e.key) + " lies beyond the end of " + name);
    }
  }
}

struct Walk {
  InstallTree& tree;
  Problems& problems;
};

// A name of the directory listing as narrow text; false when the system's
// name has no narrow form (Windows: a character outside the code page).
bool narrowName(const fs::path& path, std::string* name) {
  try {
    *name = path.filename().string();
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void walkDirectory(Walk& walk, const std::string& native, const std::string& named) {
  std::error_code failed;
  fs::directory_iterator it(native.empty() ? fs::path(".") : fs::path(native), failed);
  if (failed) {
    walk.problems.push_back("cannot list " + (named.empty() ? std::string(".") : named) + ": " + failed.message());
    return;
  }
  std::vector<std::pair<std::string, std::string>> subdirectories;
  for (; it != fs::directory_iterator(); it.increment(failed)) {
    std::string leaf;
    if (!narrowName(it->path(), &leaf)) {
      walk.problems.push_back("a name in " + (named.empty() ? std::string(".") : named) + " has no narrow form");
      continue;
    }
    // Only a Linux name can hold one; every file call reads it as a
    // separator, so the file could not be read back under its name.
    if (leaf.find('\\') != std::string::npos) {
      walk.problems.push_back((named.empty() ? leaf : named + "\\" + leaf) +
                              " has a backslash in its name, which the installation reads as a separator");
      continue;
    }
    std::string path = native.empty() ? leaf : native + "/" + leaf;
    std::string name = named.empty() ? leaf : named + "\\" + leaf;
    // The listing's own record says whether the entry is a link on Linux;
    // nameCrossesLink also sees junctions and other reparse points. The
    // machinery is never read from here, whatever it is.
    std::error_code statFailed;
    fs::file_status status = it->symlink_status(statFailed);
    if (!statFailed && !fs::is_directory(status) && isMachineryName(walk.tree.index, name)) {
      bool plain = named.empty() && fs::is_regular_file(status) && !platform::nameCrossesLink(path.c_str());
      std::uint64_t size = plain ? it->file_size(statFailed) : 0;
      if (plain && !statFailed) walk.tree.topMachinery.push_back({name, size});
      continue;
    }
    if (statFailed) {
      walk.problems.push_back("cannot look at " + name + ": " + statFailed.message());
      continue;
    }
    if (fs::is_symlink(status) || platform::nameCrossesLink(path.c_str())) {
      walk.problems.push_back(name + " is a link; links are not followed");
      continue;
    }
    if (fs::is_directory(status)) {
      walk.tree.directories.push_back(name);
      subdirectories.emplace_back(path, name);
      continue;
    }
    if (!fs::is_regular_file(status)) {
      walk.problems.push_back(name + " is not a regular file");
      continue;
    }
    if (!archive::isInstallRelativeName(name.c_str())) {
      walk.problems.push_back(name + " is not a name a patch may carry (the installation's name rule refuses it)");
      continue;
    }
    if (name.size() > archive::kMaxItemNameLength) {
      walk.problems.push_back(name + " is longer than the " + std::to_string(archive::kMaxItemNameLength) +
                              " bytes a patch item's name holds");
      continue;
    }
    std::uint64_t size = it->file_size(statFailed);
    if (statFailed) {
      walk.problems.push_back("cannot measure " + name + ": " + statFailed.message());
      continue;
    }
    walk.tree.looseFiles.push_back({name, size});
  }
  if (failed) walk.problems.push_back("cannot list all of " + (named.empty() ? std::string(".") : named));
  for (const auto& [path, name] : subdirectories) {
    // A directory whose name is already too long for any item below it.
    if (name.size() >= archive::kMaxItemNameLength) {
      walk.problems.push_back(name + " is nested too deep for a patch item's name");
      continue;
    }
    walkDirectory(walk, path, name);
  }
}

// Two names that are one file on Windows cannot both reach a player.
void checkWindowsTwins(const std::vector<LooseFile>& files, Problems& problems) {
  std::vector<std::pair<std::string, const std::string*>> folded;
  folded.reserve(files.size());
  for (const LooseFile& f : files) folded.emplace_back(archive::windowsFoldedName(f.name), &f.name);
  std::sort(folded.begin(), folded.end());
  for (std::size_t i = 1; i < folded.size(); ++i) {
    if (folded[i].first == folded[i - 1].first)
      problems.push_back(*folded[i - 1].second + " and " + *folded[i].second + " are one file on Windows");
  }
}

}  // namespace

const std::vector<ReleaseMachinery>& releaseMachinery() {
  static const std::vector<ReleaseMachinery> machinery = [] {
    std::vector<ReleaseMachinery> list;
    for (const update::PlatformFiles& files : update::kPlatformFiles) {
      list.push_back({files.launcher, "publish it with vlm-patch publish-launcher"});
      list.push_back({files.client, "publish it with vlm-patch publish-client"});
    }
    list.push_back({"Lumenfall.ini", "it holds the players' own settings and is never patched"});
    return list;
  }();
  return machinery;
}

bool isMachineryName(const archive::ArchiveSet& index, const std::string& name) {
  if (archive::namesArchiveSetFile(index, name.c_str())) return true;  // data.idx, its temporary, listed archives
  std::string folded = archive::windowsFoldedName(name);
  if (folded.find('/') != std::string::npos) return false;  // the launcher's own files lie at the top
  for (const ReleaseMachinery& m : releaseMachinery())
    if (folded == archive::windowsFoldedName(m.name)) return true;
  for (const update::PlatformFiles& files : update::kPlatformFiles) {
    if (folded == archive::windowsFoldedName(std::string(files.launcher) + update::kLauncherBackupSuffix) ||
        folded == archive::windowsFoldedName(files.record))
      return true;
  }
  static const char* const kLauncherFiles[] = {
      "keupdate.exe", "keupdate",   "launcher.bin", "kelda.bin",           "cver.v",         "cver.v.new",
      "rseq.v",       "rseq.v.new", "patch.hpl",    "vlm-patch-apply.dat", "vlm-rar-reader", "unrar.dll",
      // The repair's (update/repair.h): its mark, its downloads, the pack's
      // package and the unreadable index it set aside.
      "repair.v", "repair.rec", "repair.lst", "repair.rar", "repair.dat", "data.idx.damaged"};
  for (const char* own : kLauncherFiles)
    if (folded == own) return true;
  return endsWith(folded, ".part") || endsWith(folded, ".vlm-part") || endsWith(folded, ".vfs") ||
         (folded.rfind("release-", 0) == 0 && endsWith(folded, ".blk")) || isPatchLoopName(folded);
}

std::string hexKey(std::uint32_t key) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", key);
  return text;
}

std::string repeatedKeyProblem(std::uint32_t key) {
  return "data.idx lists key " + hexKey(key) + " more than once (see vlm-patch index check)";
}

void boundProblems(std::vector<std::string>& lines) {
  if (lines.size() <= kListedProblems) return;
  std::size_t more = lines.size() - kListedProblems;
  lines.resize(kListedProblems);
  lines.push_back("... and " + std::to_string(more) + " more");
}

std::string treePath(const InstallTree& tree, const std::string& name) { return tree.dir + "/" + name; }

bool locateTree(const std::string& dir, InstallTree* tree, std::vector<std::string>* problems) {
  *tree = InstallTree();
  tree->named = dir;
  std::error_code failed;
  fs::path absolute = fs::absolute(dir, failed);
  if (failed || !platform::isDirectory(dir.c_str())) {
    problems->push_back("no such directory: " + dir);
    return false;
  }
  tree->dir = absolute.lexically_normal().string();
  while (tree->dir.size() > 1 && isSeparator(tree->dir.back())) tree->dir.pop_back();
  InDirectory inside(tree->dir);
  if (!inside.entered()) {
    problems->push_back("cannot enter " + dir);
    return false;
  }
  if (platform::nameCrossesLink(archive::kIndexFileName)) {
    problems->push_back(dir + ": data.idx is a link; links are not followed");
    return false;
  }
  if (!platform::pathExists(archive::kIndexFileName)) {
    problems->push_back(dir + ": no data.idx here, not an installation");
    return false;
  }
  if (!isPlainFile(archive::kIndexFileName)) {
    problems->push_back(dir + ": data.idx is not a regular file");
    return false;
  }
  return true;
}

bool readTreeIndex(InstallTree* tree, std::vector<std::string>* problems, archive::KeyLookup lookup) {
  platform::Status read = archive::readIndexFile(treePath(*tree, archive::kIndexFileName).c_str(), tree->index, lookup);
  if (read.ok()) return true;
  problems->push_back(tree->named + ": data.idx is damaged: " + read.reason());
  return false;
}

bool walkTree(InstallTree* tree, std::vector<std::string>* problems) {
  InDirectory inside(tree->dir);
  if (!inside.entered()) {
    problems->push_back("cannot enter " + tree->named);
    return false;
  }
  Problems found;
  checkArchives(*tree, found);
  Walk walk{*tree, found};
  walkDirectory(walk, "", "");
  std::sort(tree->looseFiles.begin(), tree->looseFiles.end(),
            [](const LooseFile& x, const LooseFile& y) { return x.name < y.name; });
  std::sort(tree->directories.begin(), tree->directories.end());
  checkWindowsTwins(tree->looseFiles, found);
  for (std::string& line : found) line = tree->named + ": " + line;
  boundProblems(found);
  problems->insert(problems->end(), found.begin(), found.end());
  return found.empty();
}

bool readInstallTree(const std::string& dir, InstallTree* tree, std::vector<std::string>* problems) {
  problems->clear();
  return locateTree(dir, tree, problems) && readTreeIndex(tree, problems) && walkTree(tree, problems);
}

}  // namespace vlmpatch
