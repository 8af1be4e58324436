#include "archive/key_map.h"

namespace archive {

namespace {

// Fibonacci hashing: keys from the game are often sequential, the multiply
// spreads them over the whole table.
std::size_t slotFor(const KeyLocationMap& map, std::uint32_t key) {
  std::uint32_t hash = key * 2654435769u;
  std::size_t mask = map.slots.size() - 1;
  return (static_cast<std::size_t>(hash) ^ (static_cast<std::size_t>(hash) >> 15)) & mask;
}

void rehash(KeyLocationMap& map, std::size_t capacity) {
  std::vector<KeyMapSlot> old;
  old.swap(map.slots);
  map.slots.assign(capacity, KeyMapSlot{0, 0, 0, 0});
  map.count = 0;
  for (const KeyMapSlot& slot : old) {
    if (slot.used) keyMapSet(map, slot.key, EntryLocation{slot.archive, slot.entry});
  }
}

}  // namespace

void keyMapClear(KeyLocationMap& map) {
  std::vector<KeyMapSlot>().swap(map.slots);
  map.count = 0;
}

void keyMapReserve(KeyLocationMap& map, std::size_t keys) {
  std::size_t capacity = 16;
  while (capacity < keys * 2) capacity *= 2;  // at most half full
  if (capacity > map.slots.size()) rehash(map, capacity);
}

bool keyMapFind(const KeyLocationMap& map, std::uint32_t key, EntryLocation* location) {
  if (map.slots.empty()) return false;
  std::size_t mask = map.slots.size() - 1;
  for (std::size_t i = slotFor(map, key);; i = (i + 1) & mask) {
    const KeyMapSlot& slot = map.slots[i];
    if (!slot.used) return false;
    if (slot.key == key) {
      if (location) *location = EntryLocation{slot.archive, slot.entry};
      return true;
    }
  }
}

namespace {

// The slot that holds key, or the free slot where it would go.
KeyMapSlot& slotOf(KeyLocationMap& map, std::uint32_t key) {
  if ((map.count + 1) * 2 > map.slots.size()) rehash(map, map.slots.empty() ? 16 : map.slots.size() * 2);
  std::size_t mask = map.slots.size() - 1;
  for (std::size_t i = slotFor(map, key);; i = (i + 1) & mask) {
    KeyMapSlot& slot = map.slots[i];
    if (!slot.used || slot.key == key) return slot;
  }
}

}  // namespace

void keyMapSet(KeyLocationMap& map, std::uint32_t key, EntryLocation location) {
  KeyMapSlot& slot = slotOf(map, key);
  if (!slot.used) ++map.count;
  slot = KeyMapSlot{key, location.entry, static_cast<std::uint16_t>(location.archive), 1};
}

bool keyMapInsertNew(KeyLocationMap& map, std::uint32_t key, EntryLocation location) {
  KeyMapSlot& slot = slotOf(map, key);
  if (slot.used) return false;
  ++map.count;
  slot = KeyMapSlot{key, location.entry, static_cast<std::uint16_t>(location.archive), 1};
  return true;
}

bool keyMapErase(KeyLocationMap& map, std::uint32_t key) {
  if (map.slots.empty()) return false;
  std::size_t mask = map.slots.size() - 1;
  std::size_t hole = slotFor(map, key);
  while (true) {
    if (!map.slots[hole].used) return false;
    if (map.slots[hole].key == key) break;
    hole = (hole + 1) & mask;
  }
  // Backward shift: pull later members of the probe run into the hole so no
  // tombstones are needed and lookups stay short.
  for (std::size_t next = (hole + 1) & mask; map.slots[next].used; next = (next + 1) & mask) {
    std::size_t home = slotFor(map, map.slots[next].key);
    bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
    if (movable) {
      map.slots[hole] = map.slots[next];
      hole = next;
    }
  }
  map.slots[hole].used = 0;
  --map.count;
  return true;
}

}  // namespace archive
