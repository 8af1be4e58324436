#include "archive/install_path.h"

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
