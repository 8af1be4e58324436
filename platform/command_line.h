// Splitting a line into words, the one rule for the launcher's command lines
// (the Linux process seam starts programs from them) and for vlm-patch's
// manifests: blanks (space, tab, carriage return) separate words, double
// quotes group blanks into a word and are dropped, and "" is an empty word.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The words of line. False when a double quote is left open; the words are
// then split as if the line closed it.
bool splitWords(const std::string& line, std::vector<std::string>* words);

}  // namespace platform
