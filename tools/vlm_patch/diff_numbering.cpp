#include "tools/vlm_patch/diff_numbering.h"

namespace vlmpatch {

namespace {

std::string patches(std::uint64_t from, std::uint64_t to) {
  return from == to ? "patch " + std::to_string(from) : "patches " + std::to_string(from) + " to " + std::to_string(to);
}

}  // namespace

bool numberPackages(const NumberingRequest& request, Numbering* numbering, std::string* refusal) {
  const std::int64_t oldVersion = request.oldVersion, newVersion = request.newVersion;
  const std::int64_t count = static_cast<std::int64_t>(request.packages);
  const std::string& named = request.newNamed;
  auto setVersion = [&named](std::int64_t version) {
    std::string number = std::to_string(version);
    return "give " + named + "'s index the number " + number + " (vlm-patch index set-version " + named + " " + number +
           ") and run diff again";
  };
  std::int64_t first = request.first != 0 ? request.first : oldVersion + 1;
  if (request.last != 0) {
    if (request.last != newVersion) {
      *refusal = "--last " + std::to_string(request.last) + " is not " + named + "'s version " +
                 std::to_string(newVersion) +
                 ": the last package gives an installation its version, so --last must be " + named + "'s";
      return false;
    }
    if (count == 0) {
      *refusal =
          "there is nothing to patch, so no package to number with --last; give --pad instead to write "
          "empty packages up to " +
          std::to_string(newVersion) + ", or " + setVersion(oldVersion) + " (the old release's version)";
      return false;
    }
    first = newVersion - count + 1;
  }
  if (count > 0 && first <= oldVersion) {
    *refusal = "the packages would be numbered from " + std::to_string(first) +
               ", not above the old release's version " + std::to_string(oldVersion) +
               ": an installation of it would never fetch them";
    if (request.last != 0)
      *refusal +=
          "; with " + std::to_string(count) + " packages, --last takes at least " + std::to_string(oldVersion + count);
    else
      *refusal += "; --first takes a number above " + std::to_string(oldVersion);
    return false;
  }
  // The version an installation of OLD carries once the packages are
  // applied, and the number a package after them would take.
  const std::int64_t reached = count > 0 ? first + count - 1 : oldVersion;
  const std::int64_t next = count > 0 ? reached + 1 : first;
  numbering->first = static_cast<std::uint32_t>(first);
  numbering->padding = 0;
  if (newVersion == reached) return true;
  const std::string carries = named + "'s data.idx carries version " + std::to_string(newVersion);
  const std::string lastPackage =
      count > 0 ? std::to_string(reached) + ", the number of the last package"
                : std::to_string(oldVersion) + ", the old release's version (there is nothing to patch)";
  if (newVersion > reached && request.pad) {
    if (newVersion > 0xFFFF) {
      *refusal = carries + ", past 65535, the last patch number: no package can carry it; " + setVersion(reached);
      return false;
    }
    if (newVersion < next) {
      *refusal =
          carries + ", below " + std::to_string(next) + ", the first number --pad would give; " + setVersion(reached);
      return false;
    }
    numbering->padding = static_cast<std::uint32_t>(newVersion - next + 1);
    return true;
  }
  if (newVersion < reached) {
    *refusal = carries + ", below " + lastPackage + ": an installation made from " + named + " would fetch " +
               patches(newVersion + 1, reached) + " again, which it holds already; " + setVersion(reached);
    return false;
  }
  *refusal = carries + ", above " + lastPackage + ": an installation made from " + named + " would never fetch " +
             patches(reached + 1, newVersion) + " when the server publishes them next";
  if (newVersion > 0xFFFF) {
    *refusal += "; no package can carry a number past 65535: " + setVersion(reached);
    return false;
  }
  *refusal += ". Give --pad to " +
              std::string(count > 0 ? "follow the packages with empty ones" : "write empty packages") + " up to " +
              std::to_string(newVersion) + ", ";
  if (count > 0 && request.first == 0 && newVersion - count + 1 > oldVersion)
    *refusal += "--last " + std::to_string(newVersion) + " to number them so that the last is " +
                std::to_string(newVersion) + " (for a server that holds the patches before them already), ";
  *refusal += "or " + setVersion(reached);
  return false;
}

}  // namespace vlmpatch
