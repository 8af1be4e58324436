// Options of vlm-patch commands: "--name value" pairs pulled out of the
// arguments, so what remains are the command's plain arguments.
#pragma once

#include <string>
#include <vector>

#include "tools/vlm_patch/commands.h"

// Pulls "--name value" out of args; false when the value is missing.
bool takeOption(Args& args, const std::string& name, std::string* value, bool* present);
// Pulls every "--name value" out of args, in order; false when a value is missing.
bool takeRepeatedOption(Args& args, const std::string& name, std::vector<std::string>* values);
