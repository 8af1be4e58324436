#include "tools/vlm_patch/options.h"

#include <cctype>
#include <cstdlib>

namespace vlmpatch {

bool takeOption(Args& args, const std::string& name, std::string* value, bool* present) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) return false;
    *value = args[i + 1];
    *present = true;
    args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
    return true;
  }
  return true;
}

bool takeRepeatedOption(Args& args, const std::string& name, std::vector<std::string>* values) {
  for (;;) {
    std::string value;
    bool present = false;
    if (!takeOption(args, name, &value, &present)) return false;
    if (!present) return true;
    values->push_back(value);
  }
}

bool parseByteSize(const std::string& text, std::uint64_t least, std::uint64_t most, std::uint64_t* value) {
  std::size_t digits = 0;
  while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
  if (digits == 0 || digits + 1 < text.size()) return false;
  int shift = 0;  // K, M and G: 10, 20 and 30
  if (digits < text.size()) {
    const std::string units = "KMG";
    std::size_t unit = units.find(static_cast<char>(std::toupper(static_cast<unsigned char>(text[digits]))));
    if (unit == std::string::npos) return false;
    shift = 10 * static_cast<int>(unit + 1);
  }
  // Past most, digit by digit, before anything can overflow.
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < digits; ++i) {
    bytes = bytes * 10 + static_cast<std::uint64_t>(text[i] - '0');
    if (bytes > most) return false;
  }
  if (bytes > (most >> shift)) return false;
  bytes <<= shift;
  if (bytes < least) return false;
  *value = bytes;
  return true;
}

namespace {

bool readKeys(const std::vector<std::string>& files, std::vector<SigningKey>* keys, int* code) {
  std::string error;
  for (const std::string& file : files) {
    SigningKey key;
    if (!readSigningKey(file, &key, &error)) {
      *code = fail(kExitFailed, error);
      return false;
    }
    keys->push_back(key);
  }
  return true;
}

}  // namespace

bool takeSigningOptions(Args& args, SignOptions* options, int* code) {
  std::vector<std::string> keyFiles, newKeyFiles;
  std::string days;
  bool hasDays = false;
  if (!takeRepeatedOption(args, "--key", &keyFiles) || !takeRepeatedOption(args, "--new-key", &newKeyFiles) ||
      !takeOption(args, "--expires-days", &days, &hasDays)) {
    *code = fail(kExitUsage, "--key, --new-key and --expires-days take a value");
    return false;
  }
  if (hasDays) {
    char* end = nullptr;
    unsigned long value = std::strtoul(days.c_str(), &end, 10);
    if (days.empty() || *end || value == 0 || value > 3650) {
      *code = fail(kExitUsage, "--expires-days takes a number from 1 to 3650");
      return false;
    }
    options->expiryDays = value;
  }
  return readKeys(keyFiles, &options->keys, code) && readKeys(newKeyFiles, &options->newKeys, code);
}

bool takePlatformOption(Args& args, bool* given, update::LauncherPlatform* platform, int* code) {
  std::string value;
  *given = false;
  if (!takeOption(args, "--platform", &value, given)) {
    *code = fail(kExitUsage, "--platform takes windows or linux");
    return false;
  }
  if (!*given) return true;
  for (const update::PlatformFiles& files : update::kPlatformFiles) {
    if (value != files.name) continue;
    *platform = files.platform;
    return true;
  }
  *code = fail(kExitUsage, "--platform takes windows or linux, not '" + value + "'");
  return false;
}

}  // namespace vlmpatch
