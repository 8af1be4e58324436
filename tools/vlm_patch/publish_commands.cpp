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
#include "tools/vlm_patch/server_dir.h"

namespace vlmpatch {

namespace {

// How a publish signs: the keys of "--key FILE" (any number) and
// "--expires-days N". A server that is signed already must stay signed, or
// its record would no longer match the patch list and every keyed launcher
// would refuse it. False with the exit code in *code.
bool takeSigning(Args& args, const std::string& serverDir, vlmpatch::SignOptions* options, int* code) {
  if (!takeSigningOptions(args, options, code)) return false;
  if (options->keys.empty() && args.size() >= 1 && vlmpatch::serverIsSigned(serverDir)) {
    *code = fail(kExitFailed, serverDir + " holds a signed release: publish with --key FILE");
    return false;
  }
  return true;
}

// Signs the release the server will hold with list, before the list is
// raised, so that a keyed launcher that sees the new numbers finds them
// signed.
bool signIfAsked(const std::string& serverDir, const PatchList& list, const vlmpatch::SignOptions& options,
                 std::string* error) {
  return options.keys.empty() || vlmpatch::signRelease(serverDir, list, options, error);
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

// One publishing step: the package (or the manifest, built as one) becomes
// patch number list.latestPatch + 1: packed as N.rar beside a temporary
// name and put in place, the release signed when keys are given, and only
// then the list raised. A launcher that sees the new number always finds its
// archive. On success list holds the raised numbers.
int publishStep(const std::string& serverDir, const std::string& input, const vlmpatch::SignOptions& signing,
                PatchList& list) {
  // The launcher counts patches in 16 bits: 65535 is the last number it fetches.
  if (list.latestPatch >= 0xFFFF) return fail(kExitFailed, "the patch list is at 65535, the last patch number");
  std::uint32_t number = list.latestPatch + 1;
  std::string packagePath = input;
  std::string builtPackage;
  std::string error;

  if (!endsWith(input, ".dat")) {
    Manifest manifest;
    if (!readManifestFile(input, &manifest, &error)) return fail(kExitFailed, error);
    manifest.hasVersion = true;
    manifest.version = static_cast<std::uint16_t>(number);
    builtPackage = temporaryNameFor(serverDir, std::to_string(number) + ".dat");
    PackageSummary summary;
    if (!buildPackageFile(manifest, manifestDirectory(input), builtPackage, &summary, &error)) {
      return fail(kExitFailed, error);
    }
    packagePath = builtPackage;
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

  std::string rarName = std::to_string(number) + ".rar";
  std::string rarTemp = temporaryNameFor(serverDir, rarName);
  bool packed = packPackageFile(packagePath, std::to_string(number) + ".dat", rarTemp, &error);
  if (!builtPackage.empty()) platform::deleteFile(builtPackage.c_str());
  if (!packed || !commitTemporary(serverDir, rarName, &error)) {
    platform::deleteFile(rarTemp.c_str());
    return fail(kExitFailed, error);
  }
  PatchList raised = list;
  raised.latestPatch = number;
  if (!signIfAsked(serverDir, raised, signing, &error) || !writeServerPatchList(serverDir, raised, &error))
    return fail(kExitFailed, error);
  list = raised;
  std::printf("published patch %u as %s\n", number, joinPath(serverDir, rarName).c_str());
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
  if (failed) *error = "cannot list " + dir;
  std::sort(packages.begin(), packages.end());
  return packages;
}

// Publishes a diff's packages in order, each as one step. Everything that can
// be checked beforehand is: the numbers follow on from the server's, with no
// gap, and each package carries its own number as its version. A step that
// fails stops the rest; the server then holds the packages before it.
int publishDirectory(const std::string& serverDir, const std::string& dir, const vlmpatch::SignOptions& signing,
                     PatchList& list) {
  std::string error;
  std::vector<std::pair<std::uint32_t, std::string>> packages = packagesIn(dir, &error);
  if (!error.empty()) return fail(kExitFailed, error);
  if (packages.empty()) {
    std::printf("%s holds no packages: nothing to publish\n", dir.c_str());
    return kExitOk;
  }
  for (std::size_t i = 0; i < packages.size(); ++i) {
    std::uint32_t wanted = list.latestPatch + 1 + static_cast<std::uint32_t>(i);
    const auto& [number, path] = packages[i];
    if (number != wanted)
      return fail(kExitFailed, i == 0 ? dir + " starts at " + std::to_string(number) + ".dat, but the next patch of " +
                                            serverDir + " is " + std::to_string(wanted)
                                      : dir + " lacks " + std::to_string(wanted) + ".dat between its packages");
    std::uint16_t version = 0;
    if (!readPackageVersion(path, &version, &error)) return fail(kExitFailed, error);
    if (version != number)
      return fail(kExitFailed, path + " carries version " + std::to_string(version) + ", not its number");
  }
  for (const auto& package : packages) {
    int code = publishStep(serverDir, package.second, signing, list);
    if (code != kExitOk) {
      if (package.first > packages.front().first)
        std::fprintf(stderr, "vlm-patch: %s now holds patches up to %u; publish the rest from %u.dat on\n",
                     serverDir.c_str(), list.latestPatch, package.first);
      return code;
    }
  }
  return kExitOk;
}

}  // namespace

int runPublish(const Args& given) {
  Args args = given;
  vlmpatch::SignOptions signing;
  int code = kExitOk;
  if (!takeSigning(args, args.empty() ? "" : args[0], &signing, &code)) return code;
  if (args.size() != 2)
    return fail(kExitUsage,
                "usage: vlm-patch publish SERVER_DIR PACKAGE.dat|MANIFEST|OUT_DIR [--key FILE]... [--expires-days N]");
  const std::string& serverDir = args[0];
  const std::string& input = args[1];
  if (!platform::isDirectory(serverDir.c_str())) return fail(kExitFailed, "no such directory: " + serverDir);
  PatchList list;
  std::string error;
  if (!readServerPatchList(serverDir, &list, &error)) return fail(kExitFailed, error);
  if (platform::isDirectory(input.c_str())) return publishDirectory(serverDir, input, signing, list);
  return publishStep(serverDir, input, signing, list);
}

int runPublishExecutable(const Args& given, Executable which) {
  const bool launcher = which == Executable::kLauncher;
  const char* command = launcher ? "publish-launcher" : "publish-client";
  Args args = given;
  vlmpatch::SignOptions signing;
  int code = kExitOk;
  if (!takeSigning(args, args.empty() ? "" : args[0], &signing, &code)) return code;
  if (args.size() != 2)
    return fail(kExitUsage,
                std::string("usage: vlm-patch ") + command + " SERVER_DIR FILE [--key FILE]... [--expires-days N]");
  const std::string& serverDir = args[0];
  if (!platform::isDirectory(serverDir.c_str())) return fail(kExitFailed, "no such directory: " + serverDir);
  PatchList list;
  std::string error;
  if (!readServerPatchList(serverDir, &list, &error)) return fail(kExitFailed, error);
  std::uint32_t& version = launcher ? list.latestLauncher : list.latestClient;
  if (version == 0xFFFFFFFFu) return fail(kExitFailed, "the version number cannot be raised any further");
  const char* name = launcher ? "Start VLM.exe" : "Kelda.exe";
  if (!placeFileAtomically(serverDir, name, args[1], &error)) return fail(kExitFailed, error);
  ++version;
  if (!signIfAsked(serverDir, list, signing, &error) || !writeServerPatchList(serverDir, list, &error))
    return fail(kExitFailed, error);
  std::printf("published %s as %s version %u\n", args[1].c_str(), name, version);
  return kExitOk;
}

}  // namespace vlmpatch
