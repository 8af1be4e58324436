#include "core/status_text.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace {

// Reads the language from an ini file with the given content, as start-up
// does; "" means no file at all.
std::int8_t languageFromIni(const std::string& content, bool createFile = true) {
  TempWorkDir dir;
  if (createFile) writeWholeFile("Lumenfall.ini", content);
  return core::readLanguageSetting();
}

struct LanguageCase {
  const char* ini;
  int expected;
};

TEST(LanguageSetting, FollowsTheSettingsFileAsTheSystemReadsIt) {
  const LanguageCase cases[] = {
      {"[PLAY]\r\nLANGUAGE=0\r\n", 0},
      {"[PLAY]\r\nLANGUAGE=1\r\n", 1},
      {"[PLAY]\r\nLANGUAGE=2\r\n", 2},
      {"[PLAY]\nLANGUAGE=3\n", 3},
      {"[PLAY]\nLANGUAGE=255\n", -1},
      {"[PLAY]\nLANGUAGE=257\n", 1},
      {"[PLAY]\nLANGUAGE=258\n", 2},
      {"[PLAY]\nLANGUAGE=-1\n", -1},
      {"[play]\nlanguage=2\n", 2},                      // names without case
      {"[Play]\n  LANGUAGE  =  2  \n", 2},              // blanks around names and value
      {"[PLAY]\nLANGUAGE=2abc\n", 2},                   // leading number, other text after
      {"[PLAY]\nLANGUAGE=abc\n", 0},                    // no number at all
      {"[PLAY]\nLANGUAGE=\n", 0},                       // empty value: the default
      {"[PLAY]\nOTHER=2\n", 0},                         // key missing
      {"[GAME]\nLANGUAGE=2\n", 0},                      // section missing
      {"[GAME]\nLANGUAGE=1\n[PLAY]\nLANGUAGE=2\n", 2},  // the right section
      {"[PLAY]\nLANGUAGEX=1\nLANGUAGE=2\n", 2},         // whole key names only
  };
  for (const LanguageCase& c : cases) {
    EXPECT_EQ(languageFromIni(c.ini), c.expected) << c.ini;
  }
  EXPECT_EQ(languageFromIni("", false), 0) << "no settings file";
}

struct TextCase {
  int language;
  const char* key;
  const char* expected;
};

TEST(LookupStatusText, GivesTheTableTextForKeyAndLanguage) {
  const TextCase cases[] = {
      {0, "FAIL_DOWNLOAD", "Failed to download the update.."},
      {0, "WAIT_START", "Please wait, starting Vellmarch...."},
      {1, "WAIT_START", "Please wait, starting Vellmarch...."},
      {2, "FAIL_DOWNLOAD", "Failed to download the update."},
      {2, "WAIT_START", "Please wait, starting Vellmarch..."},
      {2, "WAIT", "Please wait..."},
      {2, "FAIL_EXTRACT", "Failed to extract the update.."},
      {0, "PATCH_COMPLETE", "Update complete up to version %s."},
      {0, "DOWNLOAD_PROGRESS", "Downloading file 'patch_%s'..."},
      {0, "PATCH_PROGRESS", "Extracting files. "},
      {0, "FAIL_SPACE", "Not enough free disk space: %s more needed."},
      {1, "fail_space", "Not enough free disk space: %s more needed."},
      {2, "FAIL_SPACE", "Not enough free disk space: %s more needed."},
      {3, "FAIL_SPACE", ""},
      {0, "wait", "Please wait..."},
      {0, "WaIt", "Please wait..."},
      {0, "WAITING", ""},
      {0, "WAI", ""},
      {0, "", ""},
      {3, "WAIT", ""},
      {-1, "WAIT", ""},
      {-128, "FAIL_DOWNLOAD", ""},
  };
  std::int8_t saved = core::languageSetting;
  for (const TextCase& c : cases) {
    core::languageSetting = static_cast<std::int8_t>(c.language);
    EXPECT_STREQ(core::lookupStatusText(c.key), c.expected) << c.language << " " << c.key;
  }
  core::languageSetting = saved;
}

}  // namespace
