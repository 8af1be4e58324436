#include "update/space_check.h"

#include <cstring>

#include "archive/patch_apply.h"
#include "core/byte_size.h"
#include "core/log.h"
#include "core/paths.h"
#include "core/status_text.h"
#include "platform/free_space.h"
#include "platform/message_box.h"

namespace update {

namespace {

std::uint64_t roundUpToBlocks(std::uint64_t bytes) {
  return (bytes + archive::kSpaceBlock - 1) / archive::kSpaceBlock * archive::kSpaceBlock;
}

}  // namespace

std::uint64_t spaceToFetchPatch(std::uint64_t archiveSize, std::uint64_t indexSize) {
  return 2 * roundUpToBlocks(archiveSize) + roundUpToBlocks(indexSize);
}

bool roomFor(const char* step, std::uint64_t needed, std::uint64_t* missing) {
  *missing = 0;
  std::uint64_t available = 0;
  platform::Status measured = platform::freeSpace(core::exeDirectory().c_str(), &available);
  if (!measured.ok()) {
    core::debugLog("The free disk space to %s could not be learnt: %s; going on without that check.", step,
                   measured.reason().c_str());
    return true;
  }
  if (available >= needed) return true;
  *missing = needed - available;
  core::debugLog("Not enough free disk space to %s: %llu bytes needed, %llu free.", step,
                 static_cast<unsigned long long>(needed), static_cast<unsigned long long>(available));
  return false;
}

std::string spaceFailureText(std::uint64_t missing) {
  // The table's text is filled by hand rather than used as a format: it
  // holds one "%s" and nothing else is to be read from it.
  std::string text = core::lookupStatusText("FAIL_SPACE");
  std::size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, core::formatByteSize(missing));
  return text;
}

void showSpaceFailure(std::uint64_t missing) { platform::showMessageBox(spaceFailureText(missing).c_str(), ""); }

}  // namespace update
