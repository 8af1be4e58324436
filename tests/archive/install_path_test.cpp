#include "archive/install_path.h"

#include <gtest/gtest.h>

namespace {

struct NameCase {
  const char* name;
  bool inside;
};

TEST(InstallPath, NamesMustStayInsideTheInstallation) {
  const NameCase cases[] = {
      {"a.txt", true},
      {"data/sub/file.bin", true},
      {"data\\sub\\file.bin", true},
      {"data\\sub/mixed.bin", true},
      {"./here.txt", true},
      {"dir/.hidden", true},
      {"a..b", true},
      {"..a", true},
      {"cone.d/ok.txt", true},
      {"con.d/ok.txt", false},
      {"COM10", true},
      {"", false},
      {"/etc/passwd", false},
      {"\\Windows\\win.ini", false},
      {"\\\\server\\share\\x", false},
      {"//server/share/x", false},
      {"\\\\.\\PhysicalDrive0", false},
      {"\\\\?\\C:\\x", false},
      {"C:\\Windows\\x", false},
      {"C:/x", false},
      {"C:x", false},
      {"file.txt:stream", false},
      {"..", false},
      {"../x", false},
      {"..\\x", false},
      {"a/../../x", false},
      {"a\\..\\..\\x", false},
      {"a/..", false},
      {"a/.../x", false},
      {"a/.. /x", false},
      {"a/. ./x", false},
      {"CON", false},
      {"nul.txt", false},
      {"sub/Com1.log", false},
      {"LPT9", false},
      {"aux ", false},
  };
  for (const NameCase& c : cases) EXPECT_EQ(isInstallRelativeName(c.name), c.inside) << c.name;
  EXPECT_FALSE(isInstallRelativeName(nullptr));
}

}  // namespace
