// The operator's side of signed releases: key files, signed publishes, and
// server check finding every kind of tampering a launcher would refuse.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "tool_fixture.h"
#include "tools/vlm_patch/release_files.h"
#include "tools/vlm_patch/server_dir.h"
#include "update/patch_list.h"
#include "update/release_check.h"

namespace fs = std::filesystem;

namespace vlmpatch {
namespace {

// A signed server: a Windows client and launcher, a Linux launcher (where
// the build has a Linux program), three patches.
void publishThree(const char* key) {
  fs::create_directories("server");
  writeStoreManifest("one.txt", {{1, "first"}});
  writeStoreManifest("two.txt", {{2, "second"}});
  writeStoreManifest("three.txt", {{3, "third"}});
  writeWholeFile("client.exe", windowsProgram(1500, 'c'));
  writeWholeFile("launcher.exe", windowsProgram(1200, 'l'));
  ASSERT_EQ(runTool("publish-client", {"server", "client.exe", "--key", key}), kExitOk);
  ASSERT_EQ(runTool("publish-launcher", {"server", "launcher.exe", "--key", key}), kExitOk);
  if (!linuxProgramPath().empty()) {
    ASSERT_EQ(runTool("publish-launcher", {"server", linuxProgramPath(), "--key", key}), kExitOk);
  }
  for (const char* manifest : {"one.txt", "two.txt", "three.txt"})
    ASSERT_EQ(runTool("publish", {"server", manifest, "--key", key}), kExitOk);
}

update::ReleaseRecord recordOf(const std::string& path) {
  update::ReleaseRecord record;
  std::string error;
  EXPECT_TRUE(update::decodeReleaseRecord(readWholeFile(path), &record, &error)) << path << ": " << error;
  return record;
}

// Signs the server as it is, as the tool's commands do.
void signAsItIs(const vlmpatch::SignOptions& options) {
  update::PatchList list;
  std::string error;
  ASSERT_TRUE(readServerPatchList("server", &list, &error)) << error;
  ServerChange change("server");
  ASSERT_TRUE(vlmpatch::signRelease(change, list, 1, options, &error)) << error;
  ASSERT_TRUE(change.commit(&error)) << error;
}

vlmpatch::SignOptions optionsWith(const char* keyFile) {
  vlmpatch::SignOptions options;
  vlmpatch::SigningKey key;
  std::string error;
  EXPECT_TRUE(vlmpatch::readSigningKey(keyFile, &key, &error)) << error;
  options.keys.push_back(key);
  return options;
}

std::string keyIdOfFile(const char* keyFile) {
  vlmpatch::SigningKey key;
  std::string error;
  EXPECT_TRUE(vlmpatch::readSigningKey(keyFile, &key, &error)) << error;
  return keyIdText(key.publicKey);
}

TEST(ReleaseSigning, KeyFilesAreTheOwnersAloneAndNeverOverwritten) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  std::string first = readWholeFile("op.key");
#if !defined(_WIN32)
  EXPECT_EQ(fs::status("op.key").permissions(), fs::perms::owner_read | fs::perms::owner_write);
#endif
  EXPECT_EQ(runTool("key generate", {"op.key"}), kExitFailed);
  EXPECT_EQ(readWholeFile("op.key"), first);
  vlmpatch::SigningKey key;
  std::string error;
  ASSERT_TRUE(vlmpatch::readSigningKey("op.key", &key, &error)) << error;

  // A key file whose halves were mixed from two keys is refused.
  ASSERT_EQ(runTool("key generate", {"other.key"}), kExitOk);
  std::string mixed = first.substr(0, first.find("public ")) +
                      readWholeFile("other.key").substr(readWholeFile("other.key").find("public "));
  writeWholeFile("mixed.key", mixed);
  EXPECT_FALSE(vlmpatch::readSigningKey("mixed.key", &key, &error));
  EXPECT_NE(error.find("do not belong together"), std::string::npos) << error;
}

TEST(ReleaseSigning, ASignedServerChecksCleanAndTakesNoUnsignedPublish) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  publishThree("op.key");
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server"}), kExitOk) << "without a key the signature is not checked";
  writeStoreManifest("four.txt", {{4, "fourth"}});
  std::string list = readWholeFile("server/patch.hpl");
  EXPECT_EQ(runTool("publish", {"server", "four.txt"}), kExitFailed);
  EXPECT_EQ(readWholeFile("server/patch.hpl"), list);
  EXPECT_FALSE(fs::exists("server/4.rar"));
}

TEST(ReleaseSigning, ServerCheckFindsEachTampering) {
  struct Case {
    const char* what;
    void (*tamper)();
  } cases[] = {
      {"a patch one byte longer", [] { writeWholeFile("server/2.rar", readWholeFile("server/2.rar") + "x"); }},
      {"a patch with one byte changed",
       [] {
         std::string bytes = readWholeFile("server/3.rar");
         bytes[bytes.size() / 2] ^= 1;
         writeWholeFile("server/3.rar", bytes);
       }},
      {"two patches swapped",
       [] {
         fs::rename("server/1.rar", "server/x.rar");
         fs::rename("server/2.rar", "server/1.rar");
         fs::rename("server/x.rar", "server/2.rar");
       }},
      {"a patch missing", [] { fs::remove("server/2.rar"); }},
      {"the client replaced", [] { writeWholeFile("server/Kelda.exe", "MZ evil"); }},
      {"the launcher replaced", [] { writeWholeFile("server/Start VLM.exe", "MZ evil"); }},
      {"the block replaced", [] { writeWholeFile("server/release-0.blk", std::string(120, '\0')); }},
      {"the Linux record missing", [] { fs::remove("server/release-linux.rec"); }},
      {"the Linux record of an earlier release",
       [] { writeWholeFile("server/release-linux.rec", readWholeFile("earlier-linux.rec")); }},
      {"the Linux launcher replaced",
       [] {
         if (fs::exists("server/start-vlm"))
           writeWholeFile("server/start-vlm", readWholeFile("server/start-vlm") + "x");
         else
           fs::remove("server/release.rec");  // the Windows tree publishes none: another tampering
       }},
      {"a Windows program as the Linux launcher",
       [] {
         if (fs::exists("server/start-vlm"))
           writeWholeFile("server/start-vlm", windowsProgram(1200, 'l'));
         else
           fs::remove("server/release.rec");
       }},
      {"the Linux numbers of the patch list raised",
       [] {
         std::string list = readWholeFile("server/patch.hpl");
         list[16] = 1;
         writeWholeFile("server/patch.hpl", list);
       }},
      {"the patch list raised without signing",
       [] {
         std::string list = readWholeFile("server/patch.hpl");
         list[0] = 5;
         writeWholeFile("server/patch.hpl", list);
       }},
  };
  for (const Case& c : cases) {
    TempWorkDir dir;
    ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
    publishThree("op.key");
    fs::copy_file("server/release-linux.rec", "earlier-linux.rec");
    writeStoreManifest("four.txt", {{4, "fourth"}});
    ASSERT_EQ(runTool("publish", {"server", "four.txt", "--key", "op.key"}), kExitOk);
    ASSERT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk) << c.what;
    c.tamper();
    EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed) << c.what;
  }
}

TEST(ReleaseSigning, ServerCheckRefusesAnotherKeyAnExpiredRecordAndAWrongPackage) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  ASSERT_EQ(runTool("key generate", {"stranger.key"}), kExitOk);
  publishThree("op.key");
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "stranger.key"}), kExitFailed);

  // Signed long ago with the default 30 days: expired now.
  vlmpatch::SignOptions options = optionsWith("op.key");
  options.now = 1000000000;
  signAsItIs(options);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);

  // A validly hashed and signed archive that holds the wrong package.
  writeWholeFile("server/3.rar", readWholeFile("server/1.rar"));
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key", "--rehash"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
}

TEST(ReleaseSigning, SequenceRisesAndFullBlocksAreNotHashedAgain) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  fs::create_directories("server");
  // 300 stand-in patch files: only their digests matter to the signing.
  for (int n = 1; n <= 300; ++n) writeWholeFile("server/" + std::to_string(n) + ".rar", "patch " + std::to_string(n));
  writeWholeFile("server/patch.hpl", update::encodePatchList(update::PatchList{300, {}}));
  vlmpatch::SignOptions options = optionsWith("op.key");
  options.now = 1900000000;
  signAsItIs(options);
  update::ReleaseRecord first = recordOf("server/release.rec");
  EXPECT_EQ(first.sequence, 1900000000u);
  EXPECT_EQ(first.blockDigests.size(), 2u);

  // Patch 5 lies in the full first block: a plain signing keeps that block,
  // a rehash sees the change. The sequence rises either way, even with a
  // clock that went back.
  writeWholeFile("server/5.rar", "changed");
  options.now = 1800000000;
  signAsItIs(options);
  update::ReleaseRecord second = recordOf("server/release.rec");
  EXPECT_EQ(second.sequence, 1900000001u);
  EXPECT_EQ(second.blockDigests[0], first.blockDigests[0]);
  options.rehashAll = true;
  signAsItIs(options);
  update::ReleaseRecord third = recordOf("server/release.rec");
  EXPECT_NE(third.blockDigests[0], first.blockDigests[0]);
  EXPECT_EQ(third.blockDigests[1], first.blockDigests[1]);
}

// Every signing writes the record of each platform: the same patches,
// sequence, expiry and blocks, each with its own platform's programs; a
// platform that publishes none has version 0, size 0 and zeros.
TEST(ReleaseSigning, WritesBothPlatformsRecordsOfOneRelease) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  fs::create_directories("server");
  writeStoreManifest("one.txt", {{1, "first"}});
  writeWholeFile("launcher.exe", windowsProgram(1200, 'l'));
  ASSERT_EQ(runTool("publish", {"server", "one.txt", "--key", "op.key"}), kExitOk);
  ASSERT_EQ(runTool("publish-launcher", {"server", "launcher.exe", "--key", "op.key"}), kExitOk);
  update::ReleaseRecord windows = recordOf("server/release.rec");
  update::ReleaseRecord linux = recordOf("server/release-linux.rec");
  EXPECT_EQ(windows.latestPatch, 1u);
  EXPECT_EQ(windows.latestLauncher, 1u);
  EXPECT_EQ(windows.launcher.size, 1200u);
  EXPECT_EQ(windows.client.size, 0u);
  EXPECT_EQ(linux.latestPatch, 1u);
  EXPECT_EQ(linux.latestLauncher, 0u);
  EXPECT_EQ(linux.launcher.size, 0u);
  EXPECT_EQ(linux.launcher.sha256, update::Sha256Digest{});
  EXPECT_EQ(linux.sequence, windows.sequence);
  EXPECT_EQ(linux.expiresAt, windows.expiresAt);
  EXPECT_EQ(linux.blockDigests, windows.blockDigests);

  if (linuxProgramPath().empty()) return;  // the Windows tree has no Linux program
  ASSERT_EQ(runTool("publish-client", {"server", linuxProgramPath(), "--key", "op.key"}), kExitOk);
  linux = recordOf("server/release-linux.rec");
  windows = recordOf("server/release.rec");
  EXPECT_EQ(linux.latestClient, 1u);
  EXPECT_EQ(linux.client.size, fs::file_size(linuxProgramPath()));
  EXPECT_EQ(windows.latestClient, 0u);
  EXPECT_EQ(windows.latestLauncher, 1u);
  EXPECT_EQ(linux.sequence, windows.sequence);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
}

// A key given with --key must have signed the server's current release:
// one that did not is refused before anything is written, with its id and
// what to do; --new-key adds a key on purpose.
TEST(ReleaseSigning, AKeyThatDidNotSignTheReleaseIsRefusedUnlessItIsNew) {
  struct Case {
    const char* what;
    void (*prepare)();  // the server signed with op.key, other.key beside it
    const char* command;
    Args args;
    int code;
    const char* message;  // in the output on failure
  } cases[] = {
      {"publish with another key",
       nullptr,
       "publish",
       {"server", "four.txt", "--key", "other.key"},
       kExitFailed,
       "--new-key other.key"},
      {"publish-launcher with another key",
       nullptr,
       "publish-launcher",
       {"server", "launcher2.exe", "--key", "other.key"},
       kExitFailed,
       "did not sign the current release.rec"},
      {"publish-client with another key",
       nullptr,
       "publish-client",
       {"server", "launcher2.exe", "--key", "other.key"},
       kExitFailed,
       "did not sign"},
      {"server sign with another key",
       nullptr,
       "server sign",
       {"server", "--key", "other.key"},
       kExitFailed,
       "did not sign"},
      {"another key beside the one that signed",
       nullptr,
       "publish",
       {"server", "four.txt", "--key", "op.key", "--key", "other.key"},
       kExitFailed,
       "did not sign"},
      {"the key that signed", nullptr, "publish", {"server", "four.txt", "--key", "op.key"}, kExitOk, ""},
      {"the key that signed and a new one",
       nullptr,
       "publish",
       {"server", "four.txt", "--key", "op.key", "--new-key", "other.key"},
       kExitOk,
       ""},
      {"a new key alone", nullptr, "server sign", {"server", "--new-key", "other.key"}, kExitOk, ""},
      {"an unsigned server takes any key",
       [] { fs::remove("server/release.rec"), fs::remove("server/release-linux.rec"); },
       "publish",
       {"server", "four.txt", "--key", "other.key"},
       kExitOk,
       ""},
      {"a record that cannot be read",
       [] { writeWholeFile("server/release.rec", "VLMR damaged"); },
       "publish",
       {"server", "four.txt", "--key", "op.key"},
       kExitFailed,
       "give every key as --new-key"},
      {"a record that cannot be read, new keys alone",
       [] { writeWholeFile("server/release.rec", "VLMR damaged"); },
       "publish",
       {"server", "four.txt", "--new-key", "op.key"},
       kExitOk,
       ""},
      {"a Windows record missing beside the Linux one",
       [] { fs::remove("server/release.rec"); },
       "server sign",
       {"server", "--key", "op.key"},
       kExitFailed,
       "release.rec: missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
    ASSERT_EQ(runTool("key generate", {"other.key"}), kExitOk);
    publishThree("op.key");
    writeStoreManifest("four.txt", {{4, "fourth"}});
    writeWholeFile("launcher2.exe", windowsProgram(1300, 'm'));
    if (c.prepare) c.prepare();
    std::map<std::string, std::string> before = directorySnapshot("server");
    int code = -1;
    std::string output = stderrOf([&] { code = runTool(c.command, c.args); });
    EXPECT_EQ(code, c.code) << output;
    if (c.code != kExitOk) {
      EXPECT_EQ(snapshotDifference(before, directorySnapshot("server")), "") << "nothing is changed";
      EXPECT_NE(output.find(c.message), std::string::npos) << output;
      if (std::string(c.message).find("did not sign") != std::string::npos ||
          std::string(c.message).find("--new-key other.key") != std::string::npos) {
        EXPECT_NE(output.find(keyIdOfFile("other.key")), std::string::npos) << "names the key's id: " << output;
      }
      continue;
    }
    // Each key that signed is on both records.
    for (const char* record : {"server/release.rec", "server/release-linux.rec"}) {
      update::ReleaseRecord signedRecord = recordOf(record);
      for (std::size_t i = 0; i + 1 < c.args.size(); ++i) {
        if (c.args[i] != "--key" && c.args[i] != "--new-key") continue;
        vlmpatch::SigningKey key;
        std::string error;
        ASSERT_TRUE(vlmpatch::readSigningKey(c.args[i + 1], &key, &error));
        EXPECT_TRUE(update::recordSignedBy(signedRecord, {key.publicKey}, &error)) << record << ": " << error;
      }
    }
  }
}

// server check names the keys that signed each record, and warns, with an
// exit code of its own, of a record that expires within a week.
TEST(ServerCheck, NamesTheSignersAndWarnsOfAnExpiryWithinAWeek) {
  TempWorkDir dir;
  ASSERT_EQ(runTool("key generate", {"op.key"}), kExitOk);
  ASSERT_EQ(runTool("key generate", {"other.key"}), kExitOk);
  publishThree("op.key");
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key", "--new-key", "other.key"}), kExitOk);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
  std::string out = ::testing::internal::GetCapturedStdout();
  for (const char* record : {"release.rec (windows)", "release-linux.rec (linux)"}) {
    std::size_t line = out.find(record);
    ASSERT_NE(line, std::string::npos) << out;
    std::string text = out.substr(line, out.find('\n', line) - line);
    EXPECT_NE(text.find(keyIdOfFile("op.key") + " (the key of --public-key op.key)"), std::string::npos) << text;
    EXPECT_NE(text.find(keyIdOfFile("other.key")), std::string::npos) << text;
  }

  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key", "--expires-days", "6"}), kExitOk);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitExpiresSoon);
  out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("warning: release.rec: expires in "), std::string::npos) << out;
  EXPECT_NE(out.find("warning: release-linux.rec: expires in "), std::string::npos) << out;
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key", "--expires-days", "8"}), kExitOk);
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitOk);
  // A problem outranks the warning.
  ASSERT_EQ(runTool("server sign", {"server", "--key", "op.key", "--expires-days", "1"}), kExitOk);
  fs::remove("server/2.rar");
  EXPECT_EQ(runTool("server check", {"server", "--public-key", "op.key"}), kExitFailed);
}

// An unsigned server is checked as its patch list describes it.
TEST(ServerCheck, ChecksAnUnsignedServer) {
  struct Case {
    const char* what;
    void (*change)();
    int code;
  } cases[] = {
      {"as published", [] {}, kExitOk},
      {"a patch missing", [] { fs::remove("server/2.rar"); }, kExitFailed},
      {"a patch holding another package", [] { writeWholeFile("server/3.rar", readWholeFile("server/1.rar")); },
       kExitFailed},
      {"a patch that is no archive", [] { writeWholeFile("server/3.rar", "not an archive"); }, kExitFailed},
      {"the list raised past the patches",
       [] {
         update::PatchList list;
         std::string error;
         readServerPatchList("server", &list, &error);
         ++list.latestPatch;
         writeWholeFile("server/patch.hpl", update::encodePatchList(list));
       },
       kExitFailed},
      {"the Windows launcher missing", [] { fs::remove("server/Start VLM.exe"); }, kExitFailed},
      {"a Linux program as the Windows client",
       [] {
         writeWholeFile("server/Kelda.exe", std::string("\x7f"
                                                        "ELF\x02\x01\x01",
                                                        7) +
                                                std::string(64, '\0'));
       },
       kExitFailed},
      {"a Linux client published but missing",
       [] {
         update::PatchList list;
         std::string error;
         readServerPatchList("server", &list, &error);
         list.of(update::LauncherPlatform::kLinux).client = 1;
         writeWholeFile("server/patch.hpl", update::encodePatchList(list));
       },
       kExitFailed},
      {"a record of a signed server beside it", [] { writeWholeFile("server/release.rec", "VLMR"); }, kExitFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempWorkDir dir;
    fs::create_directories("server");
    writeStoreManifest("one.txt", {{1, "first"}});
    writeStoreManifest("two.txt", {{2, "second"}});
    writeStoreManifest("three.txt", {{3, "third"}});
    for (const char* manifest : {"one.txt", "two.txt", "three.txt"})
      ASSERT_EQ(runTool("publish", {"server", manifest}), kExitOk);
    writeWholeFile("launcher.exe", windowsProgram(1200, 'l'));
    writeWholeFile("client.exe", windowsProgram(1500, 'c'));
    ASSERT_EQ(runTool("publish-launcher", {"server", "launcher.exe"}), kExitOk);
    ASSERT_EQ(runTool("publish-client", {"server", "client.exe"}), kExitOk);
    c.change();
    EXPECT_EQ(runTool("server check", {"server"}), c.code);
  }
}

}  // namespace
}  // namespace vlmpatch
