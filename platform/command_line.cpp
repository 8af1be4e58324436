#include "platform/command_line.h"

namespace platform {

bool splitWords(const std::string& line, std::vector<std::string>* words) {
  words->clear();
  std::string word;
  bool inWord = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if ((c == ' ' || c == '\t' || c == '\r') && !quoted) {
      if (inWord) words->push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words->push_back(word);
  return !quoted;
}

}  // namespace platform
