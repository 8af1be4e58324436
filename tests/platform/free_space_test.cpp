#include "platform/free_space.h"

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.h"

namespace {

// The working directory, named as the launcher names it: "." for the
// archives, its full name for downloads beside the launcher.
TEST(FreeSpace, IsKnownForTheWorkingDirectoryByEitherName) {
  TempWorkDir dir;
  for (const std::string& path : {std::string("."), dir.path()}) {
    std::uint64_t bytes = 0;
    platform::Status measured = platform::freeSpace(path.c_str(), &bytes);
    EXPECT_TRUE(measured.ok()) << path << ": " << measured.reason();
    EXPECT_GT(bytes, 0u) << path;
  }
}

TEST(FreeSpace, ANameThatIsNotThereFailsWithTheSystemsReason) {
  TempWorkDir dir;
  std::uint64_t bytes = 123;
  platform::Status measured = platform::freeSpace("missing-directory/below", &bytes);
  EXPECT_FALSE(measured.ok());
  EXPECT_FALSE(measured.reason().empty());
  EXPECT_EQ(bytes, 123u) << "nothing is given on a failure";
}

}  // namespace
