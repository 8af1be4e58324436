// Windows: without "unrar.dll" beside the launcher every patch archive counts
// as one that cannot be opened. This binary lies in a directory of its own,
// without the library.
#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"
#include "tools/rar_writer/rar_writer.h"
#include "update/rar_extract.h"

namespace {

TEST(MissingUnrarLibrary, EveryArchiveCannotBeOpened) {
  TempWorkDir work;
  ASSERT_TRUE(writeStoredRar("1.rar", {{"1.dat", "package", false}}));
  ::testing::internal::CaptureStdout();
  bool opened = update::extractPatchArchive("1.rar", "1.dat");
  std::string printed = ::testing::internal::GetCapturedStdout();
  EXPECT_FALSE(opened);
  EXPECT_EQ(printed, "Falha ao extrair.\n");
  EXPECT_FALSE(fileExists("1.dat"));
}

}  // namespace
