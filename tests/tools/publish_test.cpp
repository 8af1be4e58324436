#include <gtest/gtest.h>

#include <filesystem>

#include "archive/patch_package.h"
#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/patch_list.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

// The 20 bytes of "patch.hpl": latest patch, then the Windows and the Linux
// launcher and client.
std::string patchList(std::uint32_t patch, std::uint32_t windowsLauncher, std::uint32_t windowsClient,
                      std::uint32_t linuxLauncher = 0, std::uint32_t linuxClient = 0) {
  update::PatchList list;
  list.latestPatch = patch;
  list.of(update::LauncherPlatform::kWindows) = {windowsLauncher, windowsClient};
  list.of(update::LauncherPlatform::kLinux) = {linuxLauncher, linuxClient};
  return update::encodePatchList(list);
}

// Only the published files, no temporary ones left behind.
std::vector<std::string> serverFiles(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Publish, AddsNumberedPatchesAndRaisesTheListAfterEach) {
  TempWorkDir dir;
  fs::create_directories("server");
  writeStoreManifest("one.txt", {{1, "first"}});
  writeStoreManifest("two.txt", {{2, "second"}});
  ASSERT_EQ(runTool("publish", {"server", "one.txt"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(1, 0, 0));
  ASSERT_EQ(runTool("publish", {"server", "two.txt"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(2, 0, 0));
  EXPECT_EQ(serverFiles("server"), (std::vector<std::string>{"1.rar", "2.rar", "patch.hpl"}));

  writeWholeFile("launcher.exe", windowsProgram(2000, 'l'));
  writeWholeFile("client.exe", windowsProgram(3000, 'c'));
  ASSERT_EQ(runTool("publish-launcher", {"server", "launcher.exe"}), kExitOk);
  ASSERT_EQ(runTool("publish-client", {"server", "client.exe"}), kExitOk);
  ASSERT_EQ(runTool("publish-client", {"server", "client.exe"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(2, 1, 2));
  EXPECT_EQ(readWholeFile("server/Start VLM.exe"), windowsProgram(2000, 'l'));
  EXPECT_EQ(readWholeFile("server/Kelda.exe"), windowsProgram(3000, 'c'));
  EXPECT_EQ(serverFiles("server"),
            (std::vector<std::string>{"1.rar", "2.rar", "Kelda.exe", "Start VLM.exe", "patch.hpl"}));
}

TEST(Publish, RefusesAPackageWhoseVersionIsNotTheNextNumberAndChangesNothing) {
  TempWorkDir dir;
  fs::create_directories("server");
  writeWholeFile("server/patch.hpl", patchList(4, 1, 1).substr(0, 12));  // as an older tool wrote it
  writeStoreManifest("m.txt", {{9, "nine"}});
  ASSERT_EQ(runTool("package build", {"m.txt", "-o", "p.dat", "--version", "7"}), kExitOk);
  EXPECT_EQ(runTool("publish", {"server", "p.dat"}), kExitFailed);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(4, 1, 1).substr(0, 12));
  EXPECT_EQ(serverFiles("server"), (std::vector<std::string>{"patch.hpl"}));

  ASSERT_EQ(runTool("package build", {"m.txt", "-o", "p5.dat", "--version", "5"}), kExitOk);
  EXPECT_EQ(runTool("publish", {"server", "p5.dat"}), kExitOk);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), patchList(5, 1, 1));
  EXPECT_TRUE(fileExists("p5.dat")) << "publishing leaves the operator's package alone";
}

TEST(Publish, FailsCleanlyOnMissingInputs) {
  TempWorkDir dir;
  fs::create_directories("server");
  writeWholeFile("m.txt", "store 1 missing.bin\n");
  EXPECT_EQ(runTool("publish", {"server", "m.txt"}), kExitFailed);
  EXPECT_EQ(runTool("publish", {"nowhere", "m.txt"}), kExitFailed);
  EXPECT_EQ(runTool("publish-client", {"server", "missing.exe"}), kExitFailed);
  EXPECT_EQ(runTool("publish", {"server"}), kExitUsage);
  EXPECT_TRUE(serverFiles("server").empty());
}

// publish-launcher and publish-client take the platform from the file: a
// Windows program goes out under the Windows names and raises the Windows
// version, a Linux program under the Linux names; nothing else goes out.
TEST(PublishExecutable, TakesThePlatformFromTheFile) {
  struct Case {
    const char* what;
    const char* command;
    const char* file;  // "pe", "ne", "elf", or the bytes of another file
    Args options;
    int code;
    const char* placedAs;  // on success
    std::string list;      // patch.hpl on success
    const char* message;   // on failure, in the output
  } cases[] = {
      {"a Windows launcher", "publish-launcher", "pe", {}, kExitOk, "Start VLM.exe", patchList(0, 1, 0), ""},
      {"a Windows client", "publish-client", "pe", {}, kExitOk, "Kelda.exe", patchList(0, 0, 1), ""},
      {"a Linux launcher", "publish-launcher", "elf", {}, kExitOk, "start-vlm", patchList(0, 0, 0, 1, 0), ""},
      {"a Linux client", "publish-client", "elf", {}, kExitOk, "Kelda", patchList(0, 0, 0, 0, 1), ""},
      {"a Windows launcher said to be one",
       "publish-launcher",
       "pe",
       {"--platform", "windows"},
       kExitOk,
       "Start VLM.exe",
       patchList(0, 1, 0),
       ""},
      {"a Linux client said to be one",
       "publish-client",
       "elf",
       {"--platform", "linux"},
       kExitOk,
       "Kelda",
       patchList(0, 0, 0, 0, 1),
       ""},
      {"a Windows launcher said to be a Linux one",
       "publish-launcher",
       "pe",
       {"--platform", "linux"},
       kExitFailed,
       nullptr,
       "",
       "is a Windows program (PE, i386), not a linux program"},
      {"a Linux client said to be a Windows one",
       "publish-client",
       "elf",
       {"--platform", "windows"},
       kExitFailed,
       nullptr,
       "",
       "is a Linux program (ELF"},
      {"a text file",
       "publish-launcher",
       "new launcher",
       {},
       kExitFailed,
       nullptr,
       "",
       "not a program: no PE or ELF header"},
      {"a shell script", "publish-client", "#!/bin/sh\necho client\n", {}, kExitFailed, nullptr, "", "not a program"},
      {"a 16-bit Windows program (NE)",
       "publish-client",
       "ne",
       {},
       kExitFailed,
       nullptr,
       "",
       "not a program: a DOS header without a PE header"},
      {"an unknown platform", "publish-launcher", "pe", {"--platform", "macos"}, kExitUsage, nullptr, "", "--platform"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    fs::create_directories("server");
    std::string file = c.file;
    if (file == "pe") {
      writeWholeFile("program", windowsProgram());
    } else if (file == "ne") {
      writeWholeFile("program", windowsProgram().replace(0x40, 2, "NE"));
    } else if (file == "elf") {
      if (linuxProgramPath().empty()) continue;  // the Windows tree has no Linux program
      fs::copy_file(linuxProgramPath(), "program");
    } else {
      writeWholeFile("program", file);
    }
    Args args = {"server", "program"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    int code = -1;
    std::string output = stderrOf([&] { code = runTool(c.command, args); });
    EXPECT_EQ(code, c.code) << output;
    if (c.code == kExitOk) {
      std::vector<std::string> expected = {c.placedAs, "patch.hpl"};
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(serverFiles("server"), expected);
      EXPECT_EQ(readWholeFile(std::string("server/") + c.placedAs), readWholeFile("program"));
      EXPECT_EQ(readWholeFile("server/patch.hpl"), c.list);
    } else {
      EXPECT_TRUE(serverFiles("server").empty()) << "nothing is published";
      EXPECT_NE(output.find(c.message), std::string::npos) << output;
    }
  }
}

TEST(PackageBuild, WritesWhatTheLauncherLoadsAndShowLeavesTheFileAlone) {
  TempWorkDir dir;
  fs::create_directories("content/sub");
  writeWholeFile("content/sub/a.txt", "alpha");
  writeWholeFile("content/b.txt", std::string(300, 'b'));
  writeWholeFile("content/m.txt", "version 3\nseed 5\nwrite \"docs\\a b.txt\" sub/a.txt\nwrite c.txt b.txt\n");
  ASSERT_EQ(runTool("package build", {"content/m.txt", "-o", "p.dat"}), kExitOk);
  std::string before = readWholeFile("p.dat");
  ASSERT_EQ(runTool("package show", {"p.dat"}), kExitOk);
  EXPECT_EQ(readWholeFile("p.dat"), before) << "show only reads";

  archive::PatchPackage package;
  ASSERT_TRUE(archive::loadPatchPackage(package, "p.dat"));
  EXPECT_EQ(package.version, 3);
  EXPECT_EQ(package.seed, 5);
  EXPECT_EQ(package.type, 3);
  ASSERT_EQ(package.items.size(), 2u);
  EXPECT_EQ(package.items[0].name, "docs\\a b.txt");
  std::string data;
  ASSERT_TRUE(archive::readWholePatchItem(package, package.items[1], &data));
  EXPECT_EQ(data, std::string(300, 'b'));
  archive::closePatchPackage(package);

  EXPECT_EQ(runTool("package build", {"content/m.txt"}), kExitUsage) << "no output named";
  writeWholeFile("content/noversion.txt", "delete x\n");
  EXPECT_EQ(runTool("package build", {"content/noversion.txt", "-o", "q.dat"}), kExitUsage);
  EXPECT_FALSE(fileExists("q.dat"));
}

}  // namespace
}  // namespace vlmpatch
