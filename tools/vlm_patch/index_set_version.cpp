// vlm-patch index set-version: gives an installation's data.idx another
// version, which is the patch number it carries (a launcher asks for the one
// above). For a studio's release whose version does not line up with the
// packages diff writes for it (diff_numbering.h).
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "archive/index.h"
#include "platform/file.h"
#include "platform/status.h"
#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/install_check.h"
#include "tools/vlm_patch/manifest.h"

namespace vlmpatch {

namespace fs = std::filesystem;

int runIndexSetVersion(const Args& args) {
  if (args.size() != 2) return fail(kExitUsage, "usage: vlm-patch index set-version INSTALL_DIR N");
  std::uint64_t version = 0;
  if (!parseNumber(args[1], 0xFFFF, &version)) return fail(kExitUsage, "the version is a patch number, 0 to 65535");
  const std::string& dir = args[0];
  std::error_code failed;
  fs::current_path(dir, failed);
  if (failed) return fail(kExitFailed, "cannot enter " + dir + ": " + failed.message());
  // The index is written as the launcher writes it: beside itself as
  // data.idx.new, then put in place of data.idx in one step. Neither name
  // may lead elsewhere.
  for (const char* name : {archive::kIndexFileName, archive::kIndexTempFileName}) {
    if (platform::nameCrossesLink(name))
      return fail(kExitFailed, std::string(name) + " in " + dir + " is a link; links are not followed");
  }
  archive::ArchiveSet set;
  std::string error;
  if (!readInstallIndex(&set, &error)) return fail(kExitFailed, error + " (" + dir + ")");
  std::uint32_t was = set.baseVersion;
  if (was == version) {
    std::printf("%s: data.idx is at version %u already\n", dir.c_str(), was);
    return kExitOk;
  }
  // Held as the launcher and the other commands hold them while they work
  // here, so that none of them writes its own index meanwhile.
  for (auto& slot : set.archives) {
    archive::Archive& archive = *slot->archive;
    if (!platform::pathExists(archive.name.c_str())) continue;
    archive.file.reset(platform::openFileForExclusiveUpdate(archive.name.c_str()));
    if (!archive.file)
      return fail(kExitFailed,
                  archive.name + " in " + dir +
                      " cannot be held (a launcher or vlm-patch at work there?): " + platform::lastSystemError());
  }
  set.baseVersion = static_cast<std::uint32_t>(version);
  platform::Status saved = archive::saveIndex(set);
  archive::closeArchiveSet(set);
  if (!saved.ok()) return fail(kExitFailed, "data.idx in " + dir + " was not rewritten: " + saved.reason());
  std::printf("%s: data.idx now at version %u (was %u)\n", dir.c_str(), static_cast<unsigned>(version), was);
  return kExitOk;
}

}  // namespace vlmpatch
