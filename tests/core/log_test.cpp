#include "core/log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>

#include "support/temp_dir.h"

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace {

// Runs body with standard output redirected to a file; returns what it wrote.
template <class Body>
std::string captureStdout(Body body) {
  TempWorkDir dir;
  std::fflush(stdout);
  int saved = dup(fileno(stdout));
  std::FILE* file = std::fopen("out.txt", "wb");
  dup2(fileno(file), fileno(stdout));
  body();
  std::fflush(stdout);
  dup2(saved, fileno(stdout));
  close(saved);
  std::fclose(file);
  return readWholeFile("out.txt");
}

const char* const kTime = R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}\n)";

TEST(DebugLog, WritesPrefixMessageAndTimeWithoutColourWhenRedirected) {
  std::string out = captureStdout([] {
    core::debugLog("Starting update.");
    core::debugLog("%i.rar Extracted successfully.", 12);
  });
  EXPECT_EQ(out.find('\x1b'), std::string::npos) << "no colour codes in a file";
  std::regex twoLines(std::string(R"(\[DEBUG\]: Starting update\. \| )") + kTime +
                      R"(\[DEBUG\]: 12\.rar Extracted successfully\. \| )" + kTime);
  EXPECT_TRUE(std::regex_match(out, twoLines)) << out;
}

TEST(DebugLog, MessageWithItsOwnLineEndPutsTheTimeOnTheNextLine) {
  std::string out = captureStdout([] { core::debugLog("done\n"); });
  EXPECT_TRUE(std::regex_match(out, std::regex(std::string(R"(\[DEBUG\]: done\n \| )") + kTime))) << out;
}

TEST(DebugLog, TimeUsesTheAsctimeLayoutWithTwoDigitDay) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_wday = 1;
  t.tm_hour = 11;
  t.tm_min = 35;
  t.tm_sec = 29;
  EXPECT_EQ(core::formatLogTime(t), "Mon Dec 07 11:35:29 2026\n");
  t.tm_mon = 0;
  t.tm_mday = 31;
  t.tm_wday = 0;
  t.tm_hour = 0;
  t.tm_min = 0;
  t.tm_sec = 5;
  EXPECT_EQ(core::formatLogTime(t), "Sun Jan 31 00:00:05 2026\n");
}

}  // namespace
