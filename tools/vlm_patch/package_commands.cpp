// vlm-patch package build, package show and pack.
#include <cstdio>
#include <random>

#include "archive/package_writer.h"
#include "archive/patch_package.h"
#include "platform/file.h"
#include "tools/rar_writer/rar_writer.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/manifest.h"
#include "tools/vlm_patch/options.h"
#include "tools/vlm_patch/package_build.h"

namespace vlmpatch {

namespace {

const char* typeMeaning(std::uint8_t type) {
  switch (type) {
    case 1:
      return "store in the game archives";
    case 2:
      return "keys and data, no effect";
    case 3:
      return "write files in the installation";
    case 4:
      return "delete files from the installation";
    default:
      return "data only, no effect";
  }
}

}  // namespace

int runPackageBuild(const Args& given) {
  Args args = given;
  std::string out, version, seed;
  bool hasOut = false, hasVersion = false, hasSeed = false;
  if (!takeOption(args, "-o", &out, &hasOut) || !takeOption(args, "--version", &version, &hasVersion) ||
      !takeOption(args, "--seed", &seed, &hasSeed) || args.size() != 1 || !hasOut) {
    return fail(kExitUsage, "usage: vlm-patch package build MANIFEST -o OUT.dat [--version N] [--seed S]");
  }
  Manifest manifest;
  std::string error;
  if (!readManifestFile(args[0], &manifest, &error)) return fail(kExitFailed, error);
  std::uint64_t number = 0;
  if (hasVersion) {
    if (!parseNumber(version, 0xFFFF, &number)) return fail(kExitUsage, "--version takes a number from 0 to 65535");
    manifest.hasVersion = true;
    manifest.version = static_cast<std::uint16_t>(number);
  }
  if (hasSeed) {
    if (!parseNumber(seed, 0xFF, &number)) return fail(kExitUsage, "--seed takes a number from 0 to 255");
    manifest.hasSeed = true;
    manifest.seed = static_cast<std::uint8_t>(number);
  }
  if (!manifest.hasVersion) return fail(kExitUsage, "no version: give --version N or a 'version N' line");
  PackageSummary summary;
  if (!buildPackageFile(manifest, manifestDirectory(args[0]), out, &summary, &error)) return fail(kExitFailed, error);
  std::printf("%s: version %u, seed 0x%02X, type %u (%s), %u items, %llu bytes\n", out.c_str(), manifest.version,
              summary.seed, manifest.type, typeMeaning(manifest.type), static_cast<unsigned>(manifest.items.size()),
              static_cast<unsigned long long>(summary.bytes));
  return kExitOk;
}

int runPackageShow(const Args& args) {
  if (args.size() != 1) return fail(kExitUsage, "usage: vlm-patch package show FILE.dat");
  archive::PatchPackage package;
  std::string error;
  if (!readPackageForShow(args[0], &package, &error)) return fail(kExitFailed, error);
  std::printf("package %s\n  seed     0x%02X\n  version  %u\n  type     %u (%s)\n  items    %u\n", args[0].c_str(),
              package.seed, package.version, package.type, typeMeaning(package.type), package.itemCount);
  for (std::size_t i = 0; i < package.items.size(); ++i) {
    const archive::PatchItem& item = package.items[i];
    if (package.type == 1 || package.type == 2) {
      std::printf("  %5zu  key 0x%08X  %10u bytes\n", i, item.key, item.dataLength);
    } else if (package.type == 3 || package.type == 4) {
      std::printf("  %5zu  %-40s  %10u bytes\n", i, item.name.c_str(), item.dataLength);
    } else {
      std::printf("  %5zu  %10u bytes\n", i, item.dataLength);
    }
  }
  archive::closePatchPackage(package);
  return kExitOk;
}

int runPack(const Args& given) {
  Args args = given;
  std::string numberText;
  bool hasNumber = false;
  if (!takeOption(args, "--number", &numberText, &hasNumber) || args.size() != 2) {
    return fail(kExitUsage, "usage: vlm-patch pack PACKAGE.dat OUT.rar [--number N]");
  }
  archive::PatchPackage package;
  std::string error;
  if (!readPackageForShow(args[0], &package, &error)) return fail(kExitFailed, error);
  std::uint64_t number = package.version;
  archive::closePatchPackage(package);
  if (hasNumber && !parseNumber(numberText, 0xFFFF, &number)) {
    return fail(kExitUsage, "--number takes a number from 0 to 65535");
  }
  std::string entryName = std::to_string(number) + ".dat";
  if (!packPackageFile(args[0], entryName, args[1], &error)) return fail(kExitFailed, error);
  std::printf("%s: holds %s\n", args[1].c_str(), entryName.c_str());
  return kExitOk;
}

}  // namespace vlmpatch
