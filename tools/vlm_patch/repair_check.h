// server check's look at a repair set (update/repair_set.h), as a keyed
// launcher would take it and more: the record's signature and its place
// beside the release, the content list against its digest and its rules,
// and every pack against its digest and, opened, against the items the
// list gives it (type, order, keys or names, sizes, digests of the bytes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/release_record.h"
#include "update/repair_set.h"

namespace vlmpatch {

struct RepairCheck {
  bool present = false;  // the server has "repair.rec"
  std::uint32_t dataVersion = 0;
  std::size_t keys = 0, files = 0, packs = 0;
  std::vector<std::string> problems;
};

// release: the server's record (nullptr when it has none); keys: the public
// keys given to server check (none: signatures are not checked).
// latestPatch: patch.hpl's.
RepairCheck checkRepairSet(const std::string& serverDir, const update::ReleaseRecord* release,
                           std::uint32_t latestPatch, const std::vector<update::PublicKey>& keys);

}  // namespace vlmpatch
