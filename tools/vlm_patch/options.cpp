#include "tools/vlm_patch/options.h"

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
