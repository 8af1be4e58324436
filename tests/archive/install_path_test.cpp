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
      {"x..", true},
      {"\\abs", false},
      {"a/../b", false},
      {"... ", false},
      {". .", false},
      {"sub\\.. \\x", false},
      {"COM0", false},
      {"lpt0.txt", false},
      // Superscript digits: code page 1252 bytes, then the same in UTF-8.
      {"COM\xB9", false},
      {"LPT\xB2", false},
      {"COM\xB3", false},
      {"sub/com\xB9.log", false},
      {"LPT\xB3 .txt", false},
      {"COM\xC2\xB9", false},
      {"LPT\xC2\xB2.dll", false},
      {"sub\\com\xC2\xB3", false},
      {"COM\xB4", true},
      {"COM\xC2\xB4", true},
      {"COM\xC2", true},
      {"COM\xB9x", true},
      {"COM\xB9\xB9", true},
      {"XCOM\xB9", true},
  };
  for (const NameCase& c : cases) EXPECT_EQ(archive::isInstallRelativeName(c.name), c.inside) << c.name;
  EXPECT_FALSE(archive::isInstallRelativeName(nullptr));
}

}  // namespace
