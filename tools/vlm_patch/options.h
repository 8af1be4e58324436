// Options of vlm-patch commands: "--name value" pairs pulled out of the
// arguments, so what remains are the command's plain arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/vlm_patch/commands.h"
#include "tools/vlm_patch/release_files.h"
#include "update/server_files.h"

namespace vlmpatch {

// Pulls "--name value" out of args; false when the value is missing.
bool takeOption(Args& args, const std::string& name, std::string* value, bool* present);
// Pulls every "--name value" out of args, in order; false when a value is missing.
bool takeRepeatedOption(Args& args, const std::string& name, std::vector<std::string>* values);

// Reads a size in bytes: decimal digits, alone (bytes) or followed by one
// of K, M and G (KiB, MiB, GiB; either case), nothing else: no sign, blank,
// fraction or "KB". True, the bytes in *value, when the size lies from
// least to most.
bool parseByteSize(const std::string& text, std::uint64_t least, std::uint64_t most, std::uint64_t* value);

// Pulls the signing options out of args: every "--key FILE" and "--new-key
// FILE" (read here) and "--expires-days N" (1 to 3650). False, with the
// exit code in *code and the reason printed, on a bad value or a key file
// that cannot be read.
bool takeSigningOptions(Args& args, SignOptions* options, int* code);

// Pulls "--platform windows|linux" out of args. False, with the exit code
// in *code and the reason printed, on another value.
bool takePlatformOption(Args& args, bool* given, update::LauncherPlatform* platform, int* code);

}  // namespace vlmpatch
