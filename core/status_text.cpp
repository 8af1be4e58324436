#include "core/status_text.h"

#include "platform/profile.h"

namespace core {

namespace {

struct StatusText {
  const char* key;
  const char* text01;  // languageSetting 0 or 1
  const char* text2;   // languageSetting 2
};

const StatusText kStatusTexts[] = {
    {"WAIT", "Please wait...", "Please wait..."},
    {"FAIL_DOWNLOAD", "Failed to download the update..", "Failed to download the update."},
    {"FAIL_EXTRACT", "Failed to extract the update..", "Failed to extract the update.."},
    {"PATCH_COMPLETE", "Update complete up to version %s.", "Update complete up to version %s."},
    {"DOWNLOAD_PROGRESS", "Downloading file 'patch_%s'...", "Downloading file 'patch_%s'..."},
    {"PATCH_PROGRESS", "Extracting files. ", "Extracting files. "},
    {"WAIT_START", "Please wait, starting Vellmarch....", "Please wait, starting Vellmarch..."},
    {"REPAIR_VERIFY", "Checking the game files. ", "Checking the game files. "},
    {"REPAIR_PROGRESS", "Repairing the game files. ", "Repairing the game files. "},
    {"REPAIR_DONE", "The game files are repaired.", "The game files are repaired."},
    // Its "%s" takes the room still missing, as core::formatByteSize gives it.
    {"FAIL_SPACE", "Not enough free disk space: %s more needed.", "Not enough free disk space: %s more needed."},
};

// Whole-key match, the key taken in upper case (only a to z change).
bool sameKey(const char* key, const char* tableKey) {
  for (; *key && *tableKey; ++key, ++tableKey) {
    char c = (*key >= 'a' && *key <= 'z') ? static_cast<char>(*key - 'a' + 'A') : *key;
    if (c != *tableKey) return false;
  }
  return *key == '\0' && *tableKey == '\0';
}

}  // namespace

std::int8_t readLanguageSetting() {
  unsigned value = platform::getProfileInt("PLAY", "LANGUAGE", 0, "./Lumenfall.ini");
  return static_cast<std::int8_t>(static_cast<std::uint8_t>(value & 0xFFu));
}

std::int8_t languageSetting = readLanguageSetting();

const char* lookupStatusText(const char* key) {
  if (!key) return "";
  for (const StatusText& entry : kStatusTexts) {
    if (!sameKey(key, entry.key)) continue;
    if (languageSetting == 0 || languageSetting == 1) return entry.text01;
    if (languageSetting == 2) return entry.text2;
    return "";
  }
  return "";
}

}  // namespace core
