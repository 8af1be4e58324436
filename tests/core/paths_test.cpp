#include "core/paths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <thread>
#include <vector>

#include "platform/file.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;

namespace {

TEST(FormatText, HandsOutTwentyBuffersInTurn) {
  std::vector<char*> first;
  for (int i = 0; i < 20; ++i) first.push_back(core::formatText("call %d", i));
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(std::string(first[static_cast<std::size_t>(i)]), "call " + std::to_string(i));
  }
  char* twentyFirst = core::formatText("call %d", 20);
  EXPECT_EQ(twentyFirst, first[0]) << "the 21st call reuses the first buffer";
  EXPECT_STREQ(first[0], "call 20") << "and overwrites the first text";
  EXPECT_STREQ(first[1], "call 1");
}

TEST(FormatText, CutsLongTextsWithoutTouchingTheNextBuffer) {
  char* a = core::formatText("%s", "");
  char* b = core::formatText("untouched");
  for (int i = 0; i < 18; ++i) core::formatText("x");
  char* again = core::formatText("%s", std::string(1000, 'y').c_str());
  ASSERT_EQ(again, a);
  EXPECT_EQ(std::strlen(again), core::kFormatBufferSize - 1);
  EXPECT_STREQ(b, "untouched");
}

TEST(FormatText, ConcurrentCallsKeepTheRoundRobinExact) {
  // Every buffer is handed out equally often however the threads interleave;
  // a hand-out that is not one atomic step loses or repeats turns.
  constexpr int kThreads = 4, kCalls = 5000;
  std::vector<std::vector<char*>> seen(kThreads);
  std::vector<std::thread> threads;
  core::formatText("align");
  // Bring the pool back to buffer 0 first: 19 more calls finish the round.
  for (int i = 0; i < 19; ++i) core::formatText("align");
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&seen, t] {
      for (int i = 0; i < kCalls; ++i) seen[static_cast<std::size_t>(t)].push_back(core::formatText("%d", i));
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::map<char*, int> uses;
  for (const auto& list : seen)
    for (char* p : list) ++uses[p];
  ASSERT_EQ(uses.size(), 20u);
  for (const auto& [buffer, count] : uses) EXPECT_EQ(count, kThreads * kCalls / 20);
}

TEST(TextBuffer, FormatsIntoItsOwnBufferAndCutsWhatDoesNotFit) {
  core::TextBuffer text;
  EXPECT_EQ(text.capacity, 256);
  EXPECT_STREQ(text.format("%s\\%i.rar", "C:\\Games", 12), "C:\\Games\\12.rar");
  EXPECT_FALSE(text.overflowed);
  std::string longDir(300, 'd');
  char* cut = text.format("%s\\%i.rar", longDir.c_str(), 12);
  EXPECT_EQ(cut, text.buffer);
  EXPECT_EQ(std::strlen(cut), 255u);
  EXPECT_TRUE(text.overflowed);
}

TEST(DirectoryOfPath, CutsBeforeTheLastSeparatorOfEitherKind) {
  EXPECT_EQ(core::directoryOfPath("D:\\Games\\Launcher\\Start.exe"), "D:\\Games\\Launcher");
  EXPECT_EQ(core::directoryOfPath("D:\\Games\\Launcher/Start.exe"), "D:\\Games\\Launcher");
  EXPECT_EQ(core::directoryOfPath("/opt/game/launcher"), "/opt/game");
}

TEST(ExeDirectory, IsTheExistingDirectoryOfTheRunningProgram) {
  std::string dir = core::exeDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '\\');
  EXPECT_NE(dir.back(), '/');
  EXPECT_TRUE(platform::isDirectory(dir.c_str())) << dir;
}

TEST(WriteFileCreatingDirectories, CreatesMissingDirectoriesOfARelativePath) {
  TempWorkDir dir;
  ASSERT_TRUE(core::writeFileCreatingDirectories("sub\\dir\\file.bin", "abc", 3));
  EXPECT_TRUE(fs::is_directory("sub"));
  EXPECT_TRUE(fs::is_directory(fs::path("sub") / "dir"));
  EXPECT_EQ(readWholeFile((fs::path("sub") / "dir" / "file.bin").string()), "abc");
}

TEST(WriteFileCreatingDirectories, BareNameWritesInTheWorkingDirectoryAndReplaces) {
  TempWorkDir dir;
  writeWholeFile("plain.bin", "old content that is longer");
  ASSERT_TRUE(core::writeFileCreatingDirectories("plain.bin", "new", 3));
  EXPECT_EQ(readWholeFile("plain.bin"), "new");
  ASSERT_TRUE(core::writeFileCreatingDirectories("empty.bin", "", 0));
  EXPECT_EQ(readWholeFile("empty.bin"), "");
  std::vector<std::string> entries;
  for (const auto& e : fs::directory_iterator(".")) entries.push_back(e.path().filename().string());
  EXPECT_EQ(entries.size(), 2u) << "no directory was created";
}

TEST(WriteFileCreatingDirectories, FailsWhenTheFileCannotBeOpened) {
  TempWorkDir dir;
  fs::create_directory("taken");
  EXPECT_FALSE(core::writeFileCreatingDirectories("taken", "x", 1)) << "a directory is in the way";
}

TEST(CreateDirectories, CreatesEachPrefixWithMixedSeparators) {
  TempWorkDir dir;
  EXPECT_TRUE(core::createDirectories("data\\sub/leaf"));
  EXPECT_TRUE(fs::is_directory(fs::path("data") / "sub" / "leaf"));
  EXPECT_TRUE(core::createDirectories("data\\sub/leaf")) << "existing directories are no error";
}

}  // namespace
