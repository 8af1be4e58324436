#include "tools/vlm_patch/manifest.h"

#include <cstdlib>

#include "archive/install_path.h"
#include "platform/command_line.h"

namespace vlmpatch {

bool parseNumber(const std::string& word, std::uint64_t max, std::uint64_t* value) {
  if (word.empty() || word[0] == '-' || word[0] == '+') return false;
  int base = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X') ? 16 : 10;
  const char* digits = word.c_str() + (base == 16 ? 2 : 0);
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(digits, &end, base);
  if (*digits == '\0' || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

namespace {

struct Verb {
  const char* name;
  std::uint8_t type;
  std::size_t words;  // including the verb
};

const Verb kVerbs[] = {{"store", 1, 3}, {"write", 3, 3}, {"delete", 4, 2}};

bool parseLine(const std::vector<std::string>& words, Manifest* manifest, std::string* error) {
  const std::string& verb = words[0];
  std::uint64_t number = 0;
  if (verb == "version" || verb == "seed") {
    std::uint64_t max = verb == "version" ? 0xFFFF : 0xFF;
    if (words.size() != 2 || !parseNumber(words[1], max, &number)) {
      *error = verb + " takes one number from 0 to " + std::to_string(max);
      return false;
    }
    if (verb == "version") {
      manifest->hasVersion = true;
      manifest->version = static_cast<std::uint16_t>(number);
    } else {
      manifest->hasSeed = true;
      manifest->seed = static_cast<std::uint8_t>(number);
    }
    return true;
  }
  for (const Verb& v : kVerbs) {
    if (verb != v.name) continue;
    if (words.size() != v.words) {
      *error = verb + (v.words == 3 ? " takes two words" : " takes one path");
      return false;
    }
    if (manifest->type != 0 && manifest->type != v.type) {
      *error = "a package holds items of one kind only; '" + verb + "' does not go with the items before it";
      return false;
    }
    manifest->type = v.type;
    ManifestItem item;
    if (v.type == 1) {
      if (!parseNumber(words[1], 0xFFFFFFFFu, &number)) {
        *error = "key '" + words[1] + "' is not a 32-bit number";
        return false;
      }
      item.key = static_cast<std::uint32_t>(number);
      item.source = words[2];
    } else {
      item.target = words[1];
      // The launcher skips such a target on the players' machines: the
      // operator hears of it now, not from a patch that does less than meant.
      if (!archive::isInstallRelativeName(item.target.c_str())) {
        *error = "target '" + item.target + "' does not stay inside the installation";
        return false;
      }
      if (v.type == 3) item.source = words[2];
    }
    manifest->items.push_back(item);
    return true;
  }
  *error = "unknown word '" + verb + "' (expected store, write, delete, version or seed)";
  return false;
}

}  // namespace

bool parseManifest(const std::string& text, Manifest* manifest, std::string* error) {
  *manifest = Manifest();
  std::size_t start = 0;
  for (int lineNumber = 1; start <= text.size(); ++lineNumber) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() + 1 : end + 1;
    std::vector<std::string> words;
    std::string problem;
    bool ok = platform::splitWords(line, &words);
    if (!ok) problem = "unclosed double quote";
    if (ok && !words.empty() && words[0][0] != '#') ok = parseLine(words, manifest, &problem);
    if (!ok) {
      *error = "line " + std::to_string(lineNumber) + ": " + problem;
      return false;
    }
  }
  if (manifest->items.size() > 0xFFFF) {
    *error = "a package holds at most 65535 items";
    return false;
  }
  return true;
}

}  // namespace vlmpatch
