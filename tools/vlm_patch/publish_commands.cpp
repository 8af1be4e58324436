// vlm-patch publish, publish-launcher and publish-client.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "archive/patch_package.h"
#include "platform/file.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/diff.h"
#include "tools/vlm_patch/manifest.h"
#include "tools/vlm_patch/options.h"
#include "tools/vlm_patch/package_build.h"
#include "tools/vlm_patch/release_files.h"
#include "tools/vlm_patch/repair_set_build.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/program_kind.h"

namespace vlmpatch {

namespace {

// What every publish needs to know of the server before it changes it.
struct Server {
  std::string dir;
  update::PatchList list;
  std::uint32_t firstPatch = 1;
};

bool openServer(const std::string& dir, Server* server, int* code) {
  server->dir = dir;
  std::string error;
  if (!platform::isDirectory(dir.c_str())) {
    *code = fail(kExitFailed, "no such directory: " + dir);
    return false;
  }
  if (!readServerPatchList(dir, &server->list, &error) || !readFirstPatch(dir, &server->firstPatch, &error)) {
    *code = fail(kExitFailed, error);
    return false;
  }
  return true;
}

// Whether the publish may sign as asked, before anything is written. A
// server that is signed already must stay signed, or its records would no
// longer match the patch list and every keyed launcher would refuse it; and
// each --key must be one that signed it (release_files.h). False with the
// exit code in *code.
bool checkSigning(const std::string& serverDir, const SignOptions& signing, int* code) {
  std::string error;
  if (signingKeys(signing).empty() && serverIsSigned(serverDir)) {
    *code = fail(kExitFailed, serverDir + " holds a signed release: publish with --key FILE");
    return false;
  }
  if (!checkSigningKeys(serverDir, signing, &error)) {
    *code = fail(kExitFailed, error);
    return false;
  }
  return true;
}

// The last stages of every publish: the release signed when keys are given,
// then the raised list, and the whole change put in place, the list last.
// A keyed launcher that sees the new numbers finds them signed.
bool finishChange(ServerChange& change, const Server& server, const update::PatchList& raised,
                  const SignOptions& signing, std::string* error) {
  if (!signingKeys(signing).empty() && !signRelease(change, raised, server.firstPatch, signing, error)) return false;
  return change.put(kPatchListName, update::encodePatchList(raised), error) && change.commit(error);
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The version a whole package carries; false with the reason when the file
// is not a whole package.
bool readPackageVersion(const std::string& path, std::uint16_t* version, std::string* error) {
  archive::PatchPackage package;
  if (!readPackageForShow(path, &package, error)) return false;
  *version = package.version;
  archive::closePatchPackage(package);
  return true;
}

// One publishing step, one change of the server: the package (or the
// manifest, built as one) becomes patch number list.latestPatch + 1, packed
// as N.rar, signed when keys are given, and the list raised; all of it in
// place or none (ServerChange). On success server.list holds the raised
// numbers.
int publishStep(Server& server, const std::string& input, const SignOptions& signing) {
  if (server.list.latestPatch >= kLastPatchNumber)
    return fail(kExitFailed, "the patch list is at 65535, the last patch number");
  std::uint32_t number = server.list.latestPatch + 1;
  if (number < server.firstPatch)
    return fail(kExitFailed, "patch.hpl's latest patch " + std::to_string(server.list.latestPatch) + " lies below " +
                                 std::to_string(server.firstPatch - 1) + ", where " + server.dir +
                                 " starts (.vlm-first-patch): the patch list was changed by hand");
  ServerChange change(server.dir);
  std::string packagePath = input;
  std::string error;

  if (!endsWith(input, ".dat")) {
    Manifest manifest;
    if (!readManifestFile(input, &manifest, &error)) return fail(kExitFailed, error);
    manifest.hasVersion = true;
    manifest.version = static_cast<std::uint16_t>(number);
    packagePath = change.scratchPath(std::to_string(number) + ".dat");
    PackageSummary summary;
    if (!buildPackageFile(manifest, manifestDirectory(input), packagePath, &summary, &error))
      return fail(kExitFailed, error);
  } else {
    std::uint16_t version = 0;
    if (!readPackageVersion(input, &version, &error)) return fail(kExitFailed, error);
    // The launcher records the package's version as the installed one and
    // asks for the next number after it, so the two must agree.
    if (version != number) {
      return fail(kExitFailed, input + " carries version " + std::to_string(version) + ", but the next patch is " +
                                   std::to_string(number) + "; rebuild it with --version " + std::to_string(number));
    }
  }

  std::string rarName = patchArchiveName(number);
  update::PatchList raised = server.list;
  raised.latestPatch = number;
  if (!packPackageFile(packagePath, std::to_string(number) + ".dat", change.stagingPathFor(rarName), &error) ||
      !change.adopt(rarName, &error) || !finishChange(change, server, raised, signing, &error))
    return fail(kExitFailed, error);
  server.list = raised;
  std::printf("published patch %u as %s\n", number, joinPath(server.dir, rarName).c_str());
  return kExitOk;
}

// The packages a diff wrote into dir ("<n>.dat"), by number. Other files are
// not the diff's and are left alone.
std::vector<std::pair<std::uint32_t, std::string>> packagesIn(const std::string& dir, std::string* error) {
  std::vector<std::pair<std::uint32_t, std::string>> packages;
  std::error_code failed;
  for (std::filesystem::directory_iterator it(dir, failed); !failed && it != std::filesystem::directory_iterator();
       it.increment(failed)) {
    std::string name = it->path().filename().string();
    std::uint32_t number = 0;
    if (parsePackageFileName(name, &number)) packages.emplace_back(number, joinPath(dir, name));
  }
  if (failed) *error = "cannot list " + dir + ": " + failed.message();
  std::sort(packages.begin(), packages.end());
  return packages;
}

// Publishes a diff's packages in order, each as one step. Everything that can
// be checked beforehand is: the numbers follow on from the server's, with no
// gap, and each package carries its own number as its version. A step that
// fails stops the rest; the server then holds the packages before it.
int publishDirectory(Server& server, const std::string& dir, const SignOptions& signing) {
  std::string error;
  std::vector<std::pair<std::uint32_t, std::string>> packages = packagesIn(dir, &error);
  if (!error.empty()) return fail(kExitFailed, error);
  if (packages.empty()) {
    std::printf("%s holds no packages: nothing to publish\n", dir.c_str());
    return kExitOk;
  }
  for (std::size_t i = 0; i < packages.size(); ++i) {
    std::uint32_t wanted = server.list.latestPatch + 1 + static_cast<std::uint32_t>(i);
    const auto& [number, path] = packages[i];
    if (number != wanted)
      return fail(kExitFailed, i == 0 ? dir + " starts at " + std::to_string(number) + ".dat, but the next patch of " +
                                            server.dir + " is " + std::to_string(wanted)
                                      : dir + " lacks " + std::to_string(wanted) + ".dat between its packages");
    std::uint16_t version = 0;
    if (!readPackageVersion(path, &version, &error)) return fail(kExitFailed, error);
    if (version != number)
      return fail(kExitFailed, path + " carries version " + std::to_string(version) + ", not its number");
  }
  for (const auto& package : packages) {
    int code = publishStep(server, package.second, signing);
    if (code != kExitOk) {
      if (package.first > packages.front().first)
        std::fprintf(stderr, "vlm-patch: %s now holds patches up to %u; publish the rest from %u.dat on\n",
                     server.dir.c_str(), server.list.latestPatch, package.first);
      return code;
    }
  }
  return kExitOk;
}

}  // namespace

int runPublish(const Args& given) {
  Args args = given;
  SignOptions signing;
  int code = kExitOk;
  if (!takeSigningOptions(args, &signing, &code)) return code;
  if (args.size() != 2)
    return fail(kExitUsage,
                "usage: vlm-patch publish SERVER_DIR PACKAGE.dat|MANIFEST|OUT_DIR [--key FILE]... [--new-key FILE]... "
                "[--expires-days N]");
  Server server;
  if (!openServer(args[0], &server, &code) || !checkSigning(server.dir, signing, &code)) return code;
  const std::string& input = args[1];
  if (platform::isDirectory(input.c_str())) return publishDirectory(server, input, signing);
  return publishStep(server, input, signing);
}

int runPublishExecutable(const Args& given, Executable which) {
  const bool launcher = which == Executable::kLauncher;
  const char* command = launcher ? "publish-launcher" : "publish-client";
  Args args = given;
  SignOptions signing;
  bool platformGiven = false;
  update::LauncherPlatform platformAsked = update::LauncherPlatform::kWindows;
  int code = kExitOk;
  if (!takeSigningOptions(args, &signing, &code) || !takePlatformOption(args, &platformGiven, &platformAsked, &code))
    return code;
  if (args.size() != 2)
    return fail(kExitUsage, std::string("usage: vlm-patch ") + command +
                                " SERVER_DIR FILE [--platform windows|linux] [--key FILE]... [--new-key FILE]... "
                                "[--expires-days N]");
  Server server;
  if (!openServer(args[0], &server, &code)) return code;
  const std::string& file = args[1];
  // The platform is the file's own: a program put in place under the other
  // platform's name would reach players who cannot run it.
  update::ProgramKind kind;
  std::string error;
  if (!update::programKindOfFile(file.c_str(), &kind, &error))
    return fail(kExitFailed, file + " is " + error + "; " + command + " takes a Windows (PE) or Linux (ELF) program");
  const update::PlatformFiles& files = update::filesOf(kind.platform);
  if (platformGiven && platformAsked != kind.platform)
    return fail(kExitFailed, file + " is " + update::describeProgramKind(kind) + ", not a " +
                                 update::filesOf(platformAsked).name + " program; nothing was published");
  if (!checkSigning(server.dir, signing, &code)) return code;
  update::PatchList raised = server.list;
  update::PublishedVersions& versions = raised.of(kind.platform);
  std::uint32_t& version = launcher ? versions.launcher : versions.client;
  if (version == 0xFFFFFFFFu) return fail(kExitFailed, "the version number cannot be raised any further");
  ++version;
  const char* name = launcher ? files.launcher : files.client;
  ServerChange change(server.dir);
  if (!change.putCopy(name, file, &error) || !finishChange(change, server, raised, signing, &error))
    return fail(kExitFailed, error);
  std::printf("published %s (%s) as %s: %s %s version %u\n", file.c_str(), update::describeProgramKind(kind).c_str(),
              name, files.name, launcher ? "launcher" : "client", version);
  return kExitOk;
}

int runPublishRepairSet(const Args& given) {
  Args args = given;
  SignOptions signing;
  std::string packSizeText;
  bool packSizeGiven = false;
  int code = kExitOk;
  if (!takeSigningOptions(args, &signing, &code)) return code;
  if (!takeOption(args, "--pack-size", &packSizeText, &packSizeGiven) || args.size() != 2 ||
      signingKeys(signing).empty())
    return fail(kExitUsage,
                "usage: vlm-patch publish-repair-set SERVER_DIR RELEASE_DIR --key FILE... [--new-key FILE]... "
                "[--pack-size SIZE] [--expires-days N]");
  std::uint64_t packSize = kDefaultPackSize;
  if (packSizeGiven && !parseByteSize(packSizeText, kSmallestPackSize, kLargestPackSize, &packSize))
    return fail(kExitUsage,
                "--pack-size takes a size from 64 KiB to 1 GiB in bytes, or with K, M or G for KiB, MiB "
                "or GiB (16M), not '" +
                    packSizeText + "'");
  Server server;
  if (!openServer(args[0], &server, &code) || !checkSigning(server.dir, signing, &code)) return code;
  std::vector<std::string> problems;
  InstallTree tree;
  if (!readInstallTree(args[1], &tree, &problems)) {
    std::string text = args[1] + " cannot be read as a release:";
    for (const std::string& problem : problems) text += "\n  " + problem;
    return fail(kExitFailed, text);
  }
  // Launchers repair to this version, then take the patches above it: a
  // release beyond the server's patches would leave them nothing to follow.
  if (tree.index.baseVersion > server.list.latestPatch)
    return fail(kExitFailed, args[1] + " is version " + std::to_string(tree.index.baseVersion) +
                                 ", above the server's latest patch " + std::to_string(server.list.latestPatch) +
                                 ": publish its patches first");
  ServerChange change(server.dir);
  update::RepairRecord record;
  RepairSetSummary summary;
  std::string error;
  if (!stageRepairSet(change, tree, packSize, &record, &summary, &error)) return fail(kExitFailed, error);
  signing.repair = &record;
  if (!finishChange(change, server, server.list, signing, &error)) return fail(kExitFailed, error);
  std::printf(
      "published the repair set of %s (version %u): %zu keys and %zu files, %llu bytes, in %zu packs of at most %llu "
      "bytes (%zu new, %zu already there), %llu bytes of packs; list %s\n",
      args[1].c_str(), record.dataVersion, summary.keys, summary.files, static_cast<unsigned long long>(summary.bytes),
      summary.packs, static_cast<unsigned long long>(packSize), summary.packs - summary.packsKept, summary.packsKept,
      static_cast<unsigned long long>(summary.packBytes), update::repairFileName(record.contentList, ".lst").c_str());
  return kExitOk;
}

}  // namespace vlmpatch
