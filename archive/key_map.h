// Where each key of the archive set lies: key -> (archive position, entry
// position). Open addressing with linear probing and backward-shift deletion,
// so a million keys cost 12 bytes a slot and no allocation per key; the set
// keeps it beside its entry lists so that replacing a stored file never has
// to scan them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace archive {

struct EntryLocation {
  std::uint32_t archive = 0;  // position in ArchiveSet::archives
  std::uint32_t entry = 0;    // position in that archive's entries
};

struct KeyMapSlot {
  std::uint32_t key;
  std::uint32_t entry;
  std::uint16_t archive;
  std::uint8_t used;
};

struct KeyLocationMap {
  std::vector<KeyMapSlot> slots;  // size is 0 or a power of two
  std::size_t count = 0;
};

// Empties the map and gives its memory back.
void keyMapClear(KeyLocationMap& map);
// Grows the table so that `keys` keys fit without further growth.
void keyMapReserve(KeyLocationMap& map, std::size_t keys);
// The location of key, or false when the map does not hold it.
bool keyMapFind(const KeyLocationMap& map, std::uint32_t key, EntryLocation* location);
// Inserts key or moves it to a new location.
void keyMapSet(KeyLocationMap& map, std::uint32_t key, EntryLocation location);
// Inserts key at location unless the map holds it already; true when it
// was inserted. One probe where find-then-set would take two.
bool keyMapInsertNew(KeyLocationMap& map, std::uint32_t key, EntryLocation location);
// Takes key out; false when it was not there.
bool keyMapErase(KeyLocationMap& map, std::uint32_t key);

}  // namespace archive
