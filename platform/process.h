// Starting other programs and ending this one.
#pragma once

namespace platform {

// Starts a program from a command line whose first word is the executable,
// found as Windows finds it (the launcher's own directory first). Nobody waits
// for it. True when it was started.
bool startProcess(const char* commandLine);

// Ends the process at once with the code: no exit handlers, other threads
// stop where they are (ExitProcess / _exit).
[[noreturn]] void exitProcessNow(unsigned code);

// Ends the process through the runtime's normal exit: exit handlers run.
[[noreturn]] void exitProcessNormally(int code);

// Test builds let tests observe these instead (platform/test_hooks.h).

}  // namespace platform
