#include "archive/install_path.h"

#include "archive/index.h"

#include <cctype>
#include <cstring>
#include <string>

namespace archive {

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

// The digit of a COM or LPT device: 0 to 9, or a superscript one, two or
// three, which Windows reserves too. The superscripts arrive as one byte in
// the ANSI code page (0xB9, 0xB2, 0xB3) or as two in UTF-8 (C2 B9, C2 B2,
// C2 B3); both are refused, whichever platform reads the name.
bool isDeviceDigit(const std::string& digit) {
  if (digit.size() == 1) {
    unsigned char c = static_cast<unsigned char>(digit[0]);
    return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
  }
  return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

// CON, PRN, AUX, NUL, COM0-9 and LPT0-9 (and COM or LPT with a superscript
// digit) name devices in every directory, with any extension.
bool isDeviceName(const std::string& component) {
  std::string base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
    return true;
  return base.size() > 3 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
         isDeviceDigit(base.substr(3));
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

std::string windowsFoldedName(const std::string& name) {
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

bool namesArchiveSetFile(const ArchiveSet& set, const char* name) {
  std::string wanted = windowsFoldedName(name ? name : "");
  if (wanted == windowsFoldedName(kIndexFileName) || wanted == windowsFoldedName(kIndexTempFileName)) return true;
  for (const auto& slot : set.archives) {
    if (wanted == windowsFoldedName(slot->name)) return true;
    if (slot->archive && wanted == windowsFoldedName(slot->archive->name)) return true;
  }
  return false;
}

}  // namespace archive
