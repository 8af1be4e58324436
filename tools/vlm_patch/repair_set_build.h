// Building a release's repair set (its layout is in update/repair_set.h)
// from the release laid out as an installation, as `diff` takes it: every
// live key of its index and every loose file, each in one pack.
//
// Packs follow the list's order (keys ascending, then files by name), and a
// pack ends before an item that would take its package past the pack size,
// after 65,535 items, or, once it holds a quarter of the pack size, after an
// item whose key or name is a boundary mark (one in 64, from the key or
// name alone). The marks keep the other packs as they were when a release
// adds, drops or resizes a few items: the packs after the change find their
// old boundaries again at the next mark, hold the same bytes and keep their
// names, so mirrors copy little. An item larger than the pack size goes
// alone. Packages are built the same way every time (seed, order, version
// 0 in every release, the RAR writer's fixed date), so the same items make
// the same pack byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vlm_patch/install_tree.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/repair_set.h"

namespace vlmpatch {

constexpr std::uint64_t kDefaultPackSize = 16u << 20;
constexpr std::uint64_t kSmallestPackSize = 64u << 10;
constexpr std::uint64_t kLargestPackSize = 1u << 30;
// The seed of every pack's package: any fixed value keeps packs stable.
constexpr std::uint8_t kPackSeed = 0x3C;

// One item of the list as the packing sees it: its package bytes and its
// boundary mark.
struct PackedItem {
  std::uint64_t bytes = 0;
  bool mark = false;
};

// The pack of each item, in order, by the rule above (packs numbered from 0).
std::vector<std::uint32_t> assignPacks(const std::vector<PackedItem>& items, std::uint64_t packSize);

// The boundary marks: one key or name in 64.
bool keyIsPackMark(std::uint32_t key);
bool nameIsPackMark(const std::string& name);

struct RepairSetSummary {
  std::size_t keys = 0;
  std::size_t files = 0;
  std::size_t packs = 0;
  std::size_t packsKept = 0;  // already on the server under their name
  std::uint64_t bytes = 0;    // the items' bytes
  std::uint64_t packBytes = 0;
};

// Stages the content list and every pack the server lacks into change, and
// fills record (unsigned; its sequence and expiry come with the signing) for
// the release in tree. False with the reason when a file of the release
// cannot be read, changes while it is read, or a pack cannot be written.
bool stageRepairSet(ServerChange& change, const InstallTree& tree, std::uint64_t packSize, update::RepairRecord* record,
                    RepairSetSummary* summary, std::string* error);

}  // namespace vlmpatch
