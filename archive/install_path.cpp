#include "archive/install_path.h"

#include "archive/index.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Windows drops trailing dots and blanks from a component, so "..", "... "
// and ". ." all climb out; any component made of dots and blanks only with
// two dots or more is refused.
bool climbsOut(const std::string& component) {
  std::size_t dots = 0;
  for (char c : component) {
    if (c == '.')
      ++dots;
    else if (c != ' ')
      return false;
  }
  return dots >= 2;
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices in every directory,
// with any extension.
bool isDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
    return true;
  return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) && base[3] >= '1' &&
         base[3] <= '9';
}

}  // namespace

bool isInstallRelativeName(const char* name) {
  if (!name || !*name || isSeparator(name[0]) || std::strchr(name, ':')) return false;
  std::string component;
  for (const char* p = name;; ++p) {
    if (*p == '\0' || isSeparator(*p)) {
      if (climbsOut(component) || isDeviceName(component)) return false;
      component.clear();
      if (*p == '\0') break;
    } else {
      component.push_back(*p);
    }
  }
  return true;
}

namespace {

// The name as Windows would look it up: parts in lower case without trailing
// dots and blanks, "." and empty parts dropped, joined by "/".
std::string comparableName(const std::string& name) {
  std::string result, part;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || isSeparator(name[i])) {
      while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.pop_back();
      if (!part.empty()) result += (result.empty() ? "" : "/") + part;
      part.clear();
    } else {
      part.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(name[i]))));
    }
  }
  return result;
}

}  // namespace

bool namesArchiveSetFile(const ArchiveSet& set, const char* name) {
  std::string wanted = comparableName(name ? name : "");
  if (wanted == comparableName(kIndexFileName) || wanted == comparableName(kIndexTempFileName)) return true;
  for (const auto& slot : set.archives) {
    if (wanted == comparableName(slot->name)) return true;
    if (slot->archive && wanted == comparableName(slot->archive->name)) return true;
  }
  return false;
}
