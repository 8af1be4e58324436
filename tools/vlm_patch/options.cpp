#include "tools/vlm_patch/options.h"

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

bool takeSigningOptions(Args& args, vlmpatch::SignOptions* options, int* code) {
  std::vector<std::string> keyFiles;
  std::string days;
  bool hasDays = false;
  if (!takeRepeatedOption(args, "--key", &keyFiles) || !takeOption(args, "--expires-days", &days, &hasDays)) {
    *code = fail(kExitUsage, "--key and --expires-days take a value");
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
  std::string error;
  for (const std::string& file : keyFiles) {
    vlmpatch::SigningKey key;
    if (!vlmpatch::readSigningKey(file, &key, &error)) {
      *code = fail(kExitFailed, error);
      return false;
    }
    options->keys.push_back(key);
  }
  return true;
}

}  // namespace vlmpatch
