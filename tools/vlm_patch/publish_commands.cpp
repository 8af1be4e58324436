// vlm-patch publish, publish-launcher and publish-client.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "archive/patch_package.h"
#include "platform/file.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/options.h"
#include "tools/vlm_patch/package_build.h"
#include "tools/vlm_patch/release_files.h"
#include "tools/vlm_patch/server_dir.h"

namespace {

// How a publish signs: the keys of "--key FILE" (any number) and
// "--expires-days N". A server that is signed already must stay signed, or
// its record would no longer match the patch list and every keyed launcher
// would refuse it. False with the exit code in *code.
bool takeSigning(Args& args, const std::string& serverDir, vlmpatch::SignOptions* options, int* code) {
  std::vector<std::string> keyFiles;
  std::string days;
  bool hasDays = false;
  if (!takeRepeatedOption(args, "--key", &keyFiles) || !takeOption(args, "--expires-days", &days, &hasDays)) {
    *code = fail(kExitUsage, "--key and --expires-days take a value");
    return false;
  }
  if (hasDays) {
    char* end = nullptr;
    unsigned long value = std::strtoul(days.c_str(), &end, 10);
    if (days.empty() || *end || value == 0 || value > 3650) {
      *code = fail(kExitUsage, "--expires-days takes a number from 1 to 3650");
      return false;
    }
    options->expiryDays = value;
  }
  std::string error;
  for (const std::string& file : keyFiles) {
    vlmpatch::SigningKey key;
    if (!vlmpatch::readSigningKey(file, &key, &error)) {
      *code = fail(kExitFailed, error);
      return false;
    }
    options->keys.push_back(key);
  }
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

}  // namespace

int runPublish(const Args& given) {
  Args args = given;
  vlmpatch::SignOptions signing;
  int code = kExitOk;
  if (!takeSigning(args, args.empty() ? "" : args[0], &signing, &code)) return code;
  if (args.size() != 2)
    return fail(kExitUsage,
                "usage: vlm-patch publish SERVER_DIR PACKAGE.dat|MANIFEST [--key FILE]... [--expires-days N]");
  const std::string& serverDir = args[0];
  const std::string& input = args[1];
  if (!platform::isDirectory(serverDir.c_str())) return fail(kExitFailed, "no such directory: " + serverDir);
  PatchList list;
  std::string error;
  if (!readServerPatchList(serverDir, &list, &error)) return fail(kExitFailed, error);
  // The launcher counts patches in 16 bits: 65535 is the last number it fetches.
  if (list.latestPatch >= 0xFFFF) return fail(kExitFailed, "the patch list is at 65535, the last patch number");
  std::uint32_t number = list.latestPatch + 1;
  std::string packagePath = input;
  std::string builtPackage;

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
    PatchPackage package;
    if (!readPackageForShow(input, &package, &error)) return fail(kExitFailed, error);
    std::uint16_t version = package.version;
    closePatchPackage(package);
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
  // The archive goes in place first and the list is raised after it, so a
  // launcher that sees the new number always finds its archive.
  if (!packed || !commitTemporary(serverDir, rarName, &error)) {
    platform::deleteFile(rarTemp.c_str());
    return fail(kExitFailed, error);
  }
  list.latestPatch = number;
  if (!signIfAsked(serverDir, list, signing, &error) || !writeServerPatchList(serverDir, list, &error))
    return fail(kExitFailed, error);
  std::printf("published patch %u as %s\n", number, joinPath(serverDir, rarName).c_str());
  return kExitOk;
}

int runPublishExecutable(const Args& given, bool launcher) {
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
