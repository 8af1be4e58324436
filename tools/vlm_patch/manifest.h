// The operator's manifest: what goes into one patch package.
//
// A text file, one item per line; blank lines and lines starting with "#" are
// ignored. Words are separated by blanks; a word with blanks in it is written
// in double quotes. Relative source files are read relative to the manifest.
//
//   version 12                  the package's version (optional here; the
//                               command line or `publish` may give it)
//   seed 0x35                   scrambling seed 0-255 (optional; else random)
//   store 0x00012345 art/a.tex  type 1: file data stored in the archives
//                               under the key (decimal or 0x hex)
//   write "ui\new font.fnt" f   type 3: file written in the installation at
//                               the target path (either separator)
//   delete old\intro.bik        type 4: file deleted from the installation
//
// A package has one type, so one manifest holds items of one kind only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vlmpatch {

struct ManifestItem {
  std::uint32_t key = 0;  // store
  std::string target;     // write, delete: the path in the installation
  std::string source;     // store, write: the file whose bytes are used
};

struct Manifest {
  std::uint8_t type = 0;  // 1 store, 3 write, 4 delete; 0 while no item is read
  bool hasVersion = false;
  std::uint16_t version = 0;
  bool hasSeed = false;
  std::uint8_t seed = 0;
  std::vector<ManifestItem> items;
};

// Parses manifest text. On error returns false and sets error to a message
// naming the line ("line 3: ...").
bool parseManifest(const std::string& text, Manifest* manifest, std::string* error);

// Reads a whole number (decimal or 0x hex) that fits max; false otherwise.
bool parseNumber(const std::string& word, std::uint64_t max, std::uint64_t* value);

}  // namespace vlmpatch
