// What each platform supplies behind the process hooks.
#pragma once

namespace platform {

bool startProcessForReal(const char* commandLine);
[[noreturn]] void exitProcessNowForReal(unsigned code);
[[noreturn]] void endCurrentThread();

}  // namespace platform
