#include "platform/command_line.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

struct SplitCase {
  const char* line;
  std::vector<std::string> words;
  bool closed;
};

void PrintTo(const SplitCase& c, std::ostream* out) { *out << '[' << c.line << ']'; }

class Split : public testing::TestWithParam<SplitCase> {};

TEST_P(Split, GivesTheWordsOfTheLine) {
  std::vector<std::string> words{"left over from before"};
  EXPECT_EQ(platform::splitWords(GetParam().line, &words), GetParam().closed);
  EXPECT_EQ(words, GetParam().words);
}

INSTANTIATE_TEST_SUITE_P(Table, Split,
                         testing::Values(SplitCase{"", {}, true}, SplitCase{" \t\r ", {}, true},
                                         SplitCase{"KeUpdate.exe 3", {"KeUpdate.exe", "3"}, true},
                                         SplitCase{"  a\t b\r", {"a", "b"}, true},
                                         SplitCase{"\"Start VLM.exe\" x", {"Start VLM.exe", "x"}, true},
                                         SplitCase{"a\"b c\"d", {"ab cd"}, true}, SplitCase{"\"\" x", {"", "x"}, true},
                                         SplitCase{"write \"a b", {"write", "a b"}, false}));

}  // namespace
