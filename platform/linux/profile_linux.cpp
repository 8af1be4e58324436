// GetPrivateProfileIntA's results on Linux, for the launcher's settings file.
#include "platform/profile.h"

#include "platform/file.h"

#include <strings.h>
#include <cctype>
#include <cstdio>
#include <string>

namespace platform {

static std::string trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// The value text of key in [section], or false when either is missing.
static bool findValue(std::FILE* file, const char* section, const char* key, std::string* value) {
  bool inSection = false;
  char line[4096];
  while (std::fgets(line, sizeof line, file)) {
    std::string text = trim(line);
    if (text.empty() || text[0] == ';') continue;
    if (text[0] == '[') {
      std::size_t close = text.find(']');
      std::string name = trim(text.substr(1, close == std::string::npos ? std::string::npos : close - 1));
      inSection = strcasecmp(name.c_str(), section) == 0;
      continue;
    }
    if (!inSection) continue;
    std::size_t equals = text.find('=');
    std::string name = trim(text.substr(0, equals));
    if (strcasecmp(name.c_str(), key) != 0) continue;
    *value = equals == std::string::npos ? std::string() : trim(text.substr(equals + 1));
    // The system drops one pair of enclosing quotes.
    if (value->size() >= 2 && (value->front() == '"' || value->front() == '\'') && value->back() == value->front()) {
      *value = value->substr(1, value->size() - 2);
    }
    return true;
  }
  return false;
}

unsigned getProfileInt(const char* section, const char* key, int fallback, const char* path) {
  std::FILE* file = openStdioFile(path, "rb");
  if (!file) return static_cast<unsigned>(fallback);
  std::string value;
  bool found = findValue(file, section, key, &value);
  std::fclose(file);
  if (!found || value.empty()) return static_cast<unsigned>(fallback);
  // A decimal number with an optional sign, read up to the first other
  // character; unsigned arithmetic wraps as the system's does.
  std::size_t i = 0;
  while (i < value.size() && std::isspace(static_cast<unsigned char>(value[i]))) ++i;
  bool negative = false;
  if (i < value.size() && (value[i] == '-' || value[i] == '+')) negative = value[i++] == '-';
  unsigned result = 0;
  for (; i < value.size() && std::isdigit(static_cast<unsigned char>(value[i])); ++i) {
    result = result * 10u + static_cast<unsigned>(value[i] - '0');
  }
  return negative ? 0u - result : result;
}

}  // namespace platform
