// How a diff's packages are numbered, so that they line up with the two
// releases' versions.
//
// A launcher asks for the patch one above its installation's version
// (data.idx), and applying a package gives the installation the package's
// number. So the packages of a diff from OLD to NEW must begin above OLD's
// version, and the last must carry NEW's version: an installation made from
// NEW then asks for exactly the patch published after them. Were NEW's
// version higher, it would never fetch the patches published next (a hotfix
// numbered one above the last package would never be applied); were it
// lower, it would fetch patches it holds already. With no package at all,
// NEW must carry OLD's version.
//
// When they do not line up, the diff is refused unless told how to mend it:
//  - pad: NEW's version is above the last package's number; empty packages
//    (type 0, no items: they change nothing but the version) follow the
//    others, each carrying its number, up to NEW's version;
//  - last: the packages are numbered so that the last is that number, for a
//    server that already holds the patches before them; it must be NEW's
//    version, and the first must still be above OLD's.
// NEW's version below the last package's number is always refused: NEW's
// index must be given that number (vlm-patch index set-version).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vlmpatch {

struct NumberingRequest {
  std::uint32_t oldVersion = 0;  // OLD's data.idx
  std::uint32_t newVersion = 0;  // NEW's data.idx
  std::string newNamed;          // NEW as the operator named it, for the advice
  std::size_t packages = 0;      // the diff's packages that hold items
  std::uint32_t first = 0;       // --first, or 0: one above OLD's version
  std::uint32_t last = 0;        // --last, or 0; never with first or pad
  bool pad = false;              // --pad
};

struct Numbering {
  std::uint32_t first = 0;    // the first package's number
  std::uint32_t padding = 0;  // empty packages after the others, numbered on
};

// The numbers of the packages, or false when they cannot line up as asked:
// refusal then says why and how to mend it. Numbers past 65535 are not
// looked at here but where the packages are planned.
bool numberPackages(const NumberingRequest& request, Numbering* numbering, std::string* refusal);

}  // namespace vlmpatch
