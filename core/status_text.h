// The texts the update shows to the player, by key and language.
#pragma once

#include <cstdint>

namespace core {

// The game's language, from "./Lumenfall.ini" [PLAY] LANGUAGE: the low 8 bits
// of the value as a signed number. Read once during static initialisation.
extern std::int8_t languageSetting;

// Reads the setting from the settings file in the working directory.
std::int8_t readLanguageSetting();

// The text for key (case of a to z ignored, whole key only) under the
// current languageSetting; the empty text for an unknown key or language.
// The text is a constant that lives as long as the process.
const char* lookupStatusText(const char* key);

}  // namespace core
