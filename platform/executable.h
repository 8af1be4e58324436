// Where the running executable lies.
#pragma once

#include <string>

namespace platform {

// Full path of the running executable in narrow text (Windows: the ANSI code
// page); empty when the system cannot tell.
std::string executablePath();

}  // namespace platform
