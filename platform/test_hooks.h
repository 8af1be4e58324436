// The test hooks: every place where a test takes the place of the system.
//
// Compiled only into builds for tests and demos (VLM_TEST_HOOKS, set for the
// whole tree by the top CMakeLists): a release build has none of the setters
// below, and the checks the seam makes (at the end) are constants there, so
// nothing a test can do is left in a shipped program. The same builds read
// these from the environment, nowhere else: VLM_PATCH_BASE_URL (the patch
// servers, update/versions.h), VLM_TEST_DISPLAY (fixed window values and no
// worker, core/entry.cpp), VLM_TEST_TRUSTED_KEYS and VLM_CRASH_AT_POINT
// below.
//
// Tests put every hook back with resetTestHooks (tests/support/
// launcher_state.h resets the rest of the launcher's global state with it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/file.h"

namespace platform {

#if defined(VLM_TEST_HOOKS)

// Process starts and ends observed instead of happening. A hook that
// replaces an exit may return: the calling thread then ends there (the rest
// of the process goes on), so code after an exit never runs.
struct ProcessHooks {
  bool (*start)(const char* commandLine);  // replaces startProcess
  void (*exitNow)(unsigned code);          // replaces exitProcessNow
  void (*exitNormally)(int code);          // replaces exitProcessNormally
};
void setProcessHooks(const ProcessHooks* hooks);  // nullptr: the real calls
const ProcessHooks* processHooks();

// Message boxes recorded instead of shown: a GUI box would wait for a player.
using MessageBoxHandler = void (*)(const char* text, const char* caption);
void setMessageBoxHandler(MessageBoxHandler handler);  // nullptr: the real box
MessageBoxHandler messageBoxHandler();

// File-system failures on demand, as a full disk or a failing device would
// give them: each hook that is set is asked before the real call and makes
// the call fail by returning true (the system's error is then EIO /
// ERROR_WRITE_FAULT). Lets a test fail one write or flush precisely instead
// of putting a directory where a file should go.
struct FileSystemHooks {
  bool (*failWrite)(FileHandle file, std::uint64_t offset, std::size_t size);  // writeFileAt
  bool (*failFlush)(FileHandle file);                                          // flushFileToDisk
  bool (*failReplace)(const char* from, const char* to);                       // replaceFileAtomically
};
void setFileSystemHooks(const FileSystemHooks* hooks);  // nullptr: no failures

// Linux: the contained RAR reader to start instead of the one beside the
// executable (nullptr: the real one), and how long it may stay silent (0:
// the default limit, platform/rar.h).
void setRarReaderForTests(const char* path, unsigned idleLimitMs);
std::string rarReaderPathForTests();      // empty: none set
unsigned rarReaderIdleLimitMsForTests();  // 0: none set

// The operator keys to trust instead of the build's, in the form the build
// setting VLM_TRUSTED_KEYS takes (128 hex digits each, comma separated); ""
// trusts the build's own again. Without keys set here, those of the
// environment variable VLM_TEST_TRUSTED_KEYS (same form), so that a whole
// test launcher in a process of its own can be made to check releases.
void setTrustedKeysForTests(const std::string& keys);
const std::string& trustedKeysForTests();

// Every hook above back to the real calls.
void resetTestHooks();

// A point where a power loss could strike (compact's copies and renames):
// with VLM_CRASH_AT_POINT=N in the environment the process ends at once
// with code 75, as a power loss would, at the Nth point reached. Tests stop
// a run at each point in turn to prove that every one leaves a valid
// installation.
void powerLossPoint();

// What the seam's file calls ask (true: fail this call).
bool testFailsWrite(FileHandle file, std::uint64_t offset, std::size_t size);
bool testFailsFlush(FileHandle file);
bool testFailsReplace(const char* from, const char* to);

#else

inline void powerLossPoint() {}
inline bool testFailsWrite(FileHandle, std::uint64_t, std::size_t) { return false; }
inline bool testFailsFlush(FileHandle) { return false; }
inline bool testFailsReplace(const char*, const char*) { return false; }

#endif

}  // namespace platform
