// The subcommands of vlm-patch. Each takes its own arguments (after the
// subcommand's words) and returns the process exit code:
//   0 done, 1 the work failed or found problems, 2 the command line is wrong,
//   3 (diff only) the new release lacks keys the old one holds, which no
//     patch can remove; nothing was written (--allow-stale-keys goes on),
//   4 (diff only) the packages' numbers do not line up with the releases'
//     versions (tools/vlm_patch/diff_numbering.h): the new release's is not
//     the last package's number, or the packages would not begin above the
//     old release's; nothing was written, and the message says how to mend
//     it (--pad, --last N, or vlm-patch index set-version),
//   5 (server check only) no problem was found, but a release record
//     expires in less than 7 days: sign the server again before then.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vlmpatch {

using Args = std::vector<std::string>;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitStaleKeys = 3;
constexpr int kExitVersions = 4;
constexpr int kExitExpiresSoon = 5;

// The heap a vlm-patch process asks for first thing
// (platform::preferLargePagesForHeap): its commands fill tables of tens of
// MiB (a million-entry index is 12 MiB a side) and end, and one heap on
// large pages serves them with far fewer faults.
constexpr std::size_t kToolHeapBytes = std::size_t(128) << 20;

int runPackageBuild(const Args& args);
int runPackageShow(const Args& args);
int runPack(const Args& args);
int runPublish(const Args& args);
// Which of the two executables a launcher fetches is published.
enum class Executable { kLauncher, kClient };
int runPublishExecutable(const Args& args, Executable which);
int runIndexInit(const Args& args);
int runIndexShow(const Args& args);
int runIndexCheck(const Args& args);
int runIndexSetVersion(const Args& args);
int runApply(const Args& args);
int runCompact(const Args& args);
int runKeyGenerate(const Args& args);
int runServerInit(const Args& args);
int runServerSign(const Args& args);
int runServerCheck(const Args& args);
int runDiff(const Args& args);
int runCompare(const Args& args);
int runPublishRepairSet(const Args& args);

// Prints "vlm-patch: <message>" on standard error and returns code.
int fail(int code, const std::string& message);
// True when args asks for help (-h or --help anywhere).
bool wantsHelp(const Args& args);

}  // namespace vlmpatch
