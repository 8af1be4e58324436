#include "update/patch_list.h"

#include "archive/byte_order.h"

namespace update {

namespace {

// The fields in their order in the file.
template <class List, class Visit>
void forEachField(List& list, Visit visit) {
  visit(list.latestPatch);
  visit(list.of(LauncherPlatform::kWindows).launcher);
  visit(list.of(LauncherPlatform::kWindows).client);
  visit(list.of(LauncherPlatform::kLinux).launcher);
  visit(list.of(LauncherPlatform::kLinux).client);
}

}  // namespace

void decodePatchList(const unsigned char* bytes, std::size_t size, PatchList* list) {
  std::size_t offset = 0;
  forEachField(*list, [&](std::uint32_t& field) {
    if (offset + 4 <= size) field = archive::getU32(bytes + offset);
    offset += 4;
  });
}

std::string encodePatchList(const PatchList& list) {
  std::string bytes;
  forEachField(list, [&](const std::uint32_t& field) { archive::putU32(bytes, field); });
  return bytes;
}

}  // namespace update
