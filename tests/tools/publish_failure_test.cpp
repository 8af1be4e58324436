// Every command that changes a server directory does it whole or not at
// all. Each write, flush and rename that a command makes fails in turn (the
// file-system hooks of platform/test_hooks.h, failing as a bad disk would),
// and each time the directory must be byte for byte as it was, the exit code
// 1 and the message the system's reason. A full disk, the real thing, is in
// cli_test.cpp.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/test_hooks.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

// The system's text for the error the hooks give (EIO, ERROR_WRITE_FAULT:
// Windows words it in the system's language, then gives the number).
#if defined(_WIN32)
const char* const kHookReason = "(error 29)";
#else
const char* const kHookReason = "Input/output error";
#endif

// Which call fails: the nth write or flush of the command, or the rename
// that puts a staged file in place under `target`.
struct Failure {
  enum Kind { kNone, kWrite, kFlush, kRename, kRenameAndUndo } kind = kNone;
  int nth = 0;
  std::string target;  // kRename: the file not put in place
  std::string undone;  // kRenameAndUndo: the file whose backup is not put back
  int seen = 0;
};
Failure failure;

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool failWrite(platform::FileHandle, std::uint64_t, std::size_t) {
  return failure.kind == Failure::kWrite && ++failure.seen == failure.nth;
}
bool failFlush(platform::FileHandle) { return failure.kind == Failure::kFlush && ++failure.seen == failure.nth; }
bool failReplace(const char* from, const char* to) {
  std::string source = from, target = to;
  if (failure.kind != Failure::kRename && failure.kind != Failure::kRenameAndUndo) return false;
  if (endsWith(source, ".partial") && endsWith(target, "/" + failure.target)) return true;
  return failure.kind == Failure::kRenameAndUndo && endsWith(source, ".backup") &&
         endsWith(target, "/" + failure.undone);
}
const platform::FileSystemHooks kHooks = {failWrite, failFlush, failReplace};

// Runs a command with one failure set; its exit code and standard error.
int runFailing(const Failure& how, const std::string& command, const Args& args, std::string* output) {
  failure = how;
  platform::setFileSystemHooks(&kHooks);
  int code = -1;
  *output = stderrOf([&] { code = runTool(command, args); });
  platform::setFileSystemHooks(nullptr);
  failure = Failure();
  return code;
}

void resetServer() {
  fs::remove_all("server");
  fs::copy("template", "server", fs::copy_options::recursive);
}

// The names a successful run of the command puts in place: each is a rename
// that fails in a row of its own.
std::vector<std::string> namesChangedBy(const std::string& command, const Args& args) {
  resetServer();
  std::map<std::string, std::string> before = directorySnapshot("server");
  EXPECT_EQ(runTool(command, args), kExitOk) << command;
  std::map<std::string, std::string> after = directorySnapshot("server");
  std::vector<std::string> changed;
  for (const auto& [name, bytes] : after) {
    auto old = before.find(name);
    if (old == before.end() || old->second != bytes) changed.push_back(name);
  }
  for (const auto& [name, bytes] : before) EXPECT_TRUE(after.count(name)) << name << " is never removed";
  return changed;
}

struct Command {
  const char* what;
  const char* command;
  Args args;
  bool signedTemplate;  // the template is a signed server (else an unsigned one)
  bool emptyTemplate;   // the template publishes nothing (server init)
};

// The server every command changes: patches 1 and 2, a Windows launcher and
// client and, where the build has one, a Linux launcher; signed with op.key
// or not.
void makeTemplate(const Command& c) {
  fs::remove_all("template");
  fs::create_directories("template");
  if (c.emptyTemplate) {
    writeWholeFile("template/notes.txt", "the operator's notes");
    return;
  }
  Args key = c.signedTemplate ? Args{"--key", "op.key"} : Args{};
  auto publish = [&](const char* command, Args args) {
    args.insert(args.end(), key.begin(), key.end());
    ASSERT_EQ(runTool(command, args), kExitOk) << command;
  };
  publish("publish", {"template", "one.txt"});
  publish("publish", {"template", "two.txt"});
  publish("publish-launcher", {"template", "launcher.exe"});
  publish("publish-client", {"template", "client.exe"});
  if (!linuxProgramPath().empty()) publish("publish-launcher", {"template", linuxProgramPath()});
}

TEST(ServerChange, EveryFailedWriteFlushOrRenameLeavesTheDirectoryAsItWas) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  writeStoreManifest("one.txt", {{1, "first"}});
  writeStoreManifest("two.txt", {{2, bytesOf(70000, 'b')}});
  writeStoreManifest("three.txt", {{3, bytesOf(50000, 't')}});
  ASSERT_EQ(runTool("package build", {"three.txt", "-o", "3.dat", "--version", "3"}), kExitOk);
  writeWholeFile("launcher.exe", windowsProgram(1200, 'l'));
  writeWholeFile("client.exe", windowsProgram(1500, 'c'));
  writeWholeFile("launcher2.exe", windowsProgram(200000, 'n'));
  std::string linuxClient = linuxProgramPath().empty() ? "client.exe" : linuxProgramPath();

  const Command commands[] = {
      {"publish a manifest, signed", "publish", {"server", "three.txt", "--key", "op.key"}, true, false},
      {"publish a package, signed", "publish", {"server", "3.dat", "--key", "op.key"}, true, false},
      {"publish a manifest, unsigned", "publish", {"server", "three.txt"}, false, false},
      {"publish-launcher over the launcher, signed",
       "publish-launcher",
       {"server", "launcher2.exe", "--key", "op.key"},
       true,
       false},
      {"publish-client of a new client, signed",
       "publish-client",
       {"server", linuxClient, "--key", "op.key"},
       true,
       false},
      {"publish-client, unsigned", "publish-client", {"server", "launcher2.exe"}, false, false},
      {"server sign", "server sign", {"server", "--key", "op.key", "--rehash"}, true, false},
      {"server init, signed", "server init", {"server", "--latest", "300", "--key", "op.key"}, false, true},
  };
  for (const Command& c : commands) {
    SCOPED_TRACE(c.what);
    makeTemplate(c);
    std::vector<std::string> renamed = namesChangedBy(c.command, c.args);
    ASSERT_FALSE(renamed.empty());
    std::map<std::string, std::string> expected = directorySnapshot("server");

    // One row: the directory as it was, exit code 1, the system's reason;
    // false when the command did not reach the call that was to fail.
    auto failsCleanly = [&](const Failure& row) {
      SCOPED_TRACE(std::string(row.kind == Failure::kWrite   ? "write "
                               : row.kind == Failure::kFlush ? "flush "
                                                             : "rename to ") +
                   (row.kind == Failure::kRename ? row.target : std::to_string(row.nth)));
      resetServer();
      std::map<std::string, std::string> before = directorySnapshot("server");
      std::string output;
      int code = runFailing(row, c.command, c.args, &output);
      if (code == kExitOk) {
        // Signatures and a built package's seed differ from run to run: the
        // same files, then.
        std::map<std::string, std::string> after = directorySnapshot("server");
        EXPECT_EQ(after.size(), expected.size());
        for (const auto& [name, bytes] : expected) EXPECT_TRUE(after.count(name)) << name;
        return false;
      }
      EXPECT_EQ(code, kExitFailed) << output;
      EXPECT_EQ(snapshotDifference(before, directorySnapshot("server")), "") << output;
      EXPECT_NE(output.find(kHookReason), std::string::npos) << output;
      return true;
    };
    for (const std::string& name : renamed)
      EXPECT_TRUE(failsCleanly({Failure::kRename, 0, name})) << "the rename to " << name << " was not made";
    // The nth write and the nth flush, from the first until the command no
    // longer reaches the nth.
    for (Failure::Kind kind : {Failure::kWrite, Failure::kFlush}) {
      int n = 1;
      while (n <= 400 && failsCleanly({kind, n})) ++n;
      EXPECT_GT(n, 2) << "the command writes and flushes more than once";
      EXPECT_LE(n, 400);
    }
  }
}

// A rename that fails after others undoes them from the backups; when the
// undoing fails too, the message says so and the old file is kept.
TEST(ServerChange, AnUndoThatFailsKeepsTheBackupAndSaysWhere) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  fs::create_directories("server");
  writeStoreManifest("one.txt", {{1, "first"}});
  writeStoreManifest("two.txt", {{2, "second"}});
  ASSERT_EQ(runTool("publish", {"server", "one.txt", "--key", "op.key"}), kExitOk);
  std::string oldRecord = readWholeFile("server/release.rec");
  std::string oldList = readWholeFile("server/patch.hpl");
  std::string output;
  Failure how{Failure::kRenameAndUndo, 0, "patch.hpl", "release.rec"};
  EXPECT_EQ(runFailing(how, "publish", {"server", "two.txt", "--key", "op.key"}, &output), kExitFailed);
  EXPECT_NE(output.find("cannot put server/patch.hpl in place: "), std::string::npos) << output;
  EXPECT_NE(output.find(kHookReason), std::string::npos) << output;
  EXPECT_NE(output.find("server/release.rec could not be put back"), std::string::npos) << output;
  EXPECT_NE(output.find("its old content is in server/.release.rec.backup"), std::string::npos) << output;
  EXPECT_EQ(readWholeFile("server/.release.rec.backup"), oldRecord);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), oldList) << "the list is never raised";
  EXPECT_FALSE(fs::exists("server/2.rar")) << "the new patch was removed again";
  EXPECT_FALSE(fs::exists("server/.release-linux.rec.backup")) << "what was put back needs no backup";
}

// A diff's directory is published one package at a time: a step that fails
// leaves the steps before it published, whole, and nothing of its own.
TEST(ServerChange, ADirectoryIsPublishedOneWholeStepAtATime) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  writeRelease("old", {0, {{"GAME0.VFS", {{1, "one"}}}}, {{"gone.txt", "g"}}});
  writeRelease("new", {3, {{"GAME0.VFS", {{1, "ONE"}, {2, "two"}}}}, {{"docs/new.txt", "n"}}});
  ASSERT_EQ(runTool("diff", {"old", "new", "-o", "out"}), kExitOk);
  fs::create_directories("server");
  ASSERT_EQ(runTool("publish", {"server", "out/1.dat", "--key", "op.key"}), kExitOk);
  fs::remove("out/1.dat");
  std::map<std::string, std::string> afterOne = directorySnapshot("server");
  std::string output;
  // 2.dat goes through; 3.dat's archive does not get in place.
  EXPECT_EQ(runFailing({Failure::kRename, 0, "3.rar"}, "publish", {"server", "out", "--key", "op.key"}, &output),
            kExitFailed);
  EXPECT_NE(output.find("now holds patches up to 2; publish the rest from 3.dat on"), std::string::npos) << output;
  std::map<std::string, std::string> server = directorySnapshot("server");
  EXPECT_TRUE(server.count("2.rar"));
  EXPECT_FALSE(server.count("3.rar"));
  for (const auto& [name, bytes] : server) EXPECT_NE(name[0], '.') << name << ": nothing hidden is left";
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
  fs::remove("out/2.dat");
  EXPECT_EQ(runTool("publish", {"server", "out", "--key", "op.key"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
  EXPECT_NE(snapshotDifference(afterOne, directorySnapshot("server")), "");
}

}  // namespace
}  // namespace vlmpatch
