// Which system's program a file is, from its headers alone: real programs of
// this build, and made-up headers of other systems, cut short or malformed.
#include "update/program_kind.h"

#include <gtest/gtest.h>

#include <string>

#include "archive/byte_order.h"
#include "patch_server.h"
#include "platform/executable.h"
#include "support/temp_dir.h"

namespace {

using update::LauncherPlatform;
using update::ProgramKind;

// A PE file whose header sits at peOffset, with the machine given.
std::string peAt(std::uint32_t peOffset, std::uint16_t machine, std::size_t size) {
  std::string bytes(size, '\0');
  bytes[0] = 'M';
  bytes[1] = 'Z';
  archive::setU32(reinterpret_cast<unsigned char*>(&bytes[0x3C]), peOffset);
  if (static_cast<std::uint64_t>(peOffset) + 6 <= size) {
    bytes.replace(peOffset, 4, std::string("PE\0\0", 4));
    bytes[peOffset + 4] = static_cast<char>(machine & 0xFF);
    bytes[peOffset + 5] = static_cast<char>(machine >> 8);
  }
  return bytes;
}

std::string withByte(std::string bytes, std::size_t at, char value) {
  bytes[at] = value;
  return bytes;
}

struct KindCase {
  const char* label;
  std::string bytes;
  bool isProgram;
  ProgramKind kind;  // when it is one
  const char* text;  // describeProgramKind, or the reason it is none
};
void PrintTo(const KindCase& c, std::ostream* out) { *out << c.label; }

const ProgramKind kPeI386{LauncherPlatform::kWindows, update::kPeMachineI386};
const ProgramKind kPeAmd64{LauncherPlatform::kWindows, update::kPeMachineAmd64};
const ProgramKind kPeArm64{LauncherPlatform::kWindows, 0xAA64};
const ProgramKind kElfX86_64{LauncherPlatform::kLinux, update::kElfMachineX86_64};
const ProgramKind kElfI386{LauncherPlatform::kLinux, update::kElfMachineI386};
const ProgramKind kElfAarch64{LauncherPlatform::kLinux, update::kElfMachineAarch64};
const ProgramKind kElfArm{LauncherPlatform::kLinux, 40};

class ProgramKindOf : public ::testing::TestWithParam<KindCase> {};

TEST_P(ProgramKindOf, ReadsTheHeadersAndNothingElse) {
  const KindCase& c = GetParam();
  TempWorkDir work;
  writeWholeFile("program", c.bytes);
  ProgramKind kind;
  std::string why;
  const bool fromBytes =
      update::programKindOf(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), &kind, &why);
  ASSERT_EQ(fromBytes, c.isProgram) << why;
  if (c.isProgram) {
    EXPECT_EQ(kind.platform, c.kind.platform);
    EXPECT_EQ(kind.machine, c.kind.machine);
    EXPECT_EQ(update::describeProgramKind(kind), c.text);
  } else {
    EXPECT_EQ(why, c.text);
  }
  // The file gives the same answer as its bytes.
  ProgramKind fromFile;
  std::string fileWhy;
  ASSERT_EQ(update::programKindOfFile("program", &fromFile, &fileWhy), c.isProgram) << fileWhy;
  if (c.isProgram) {
    EXPECT_EQ(fromFile.platform, kind.platform);
    EXPECT_EQ(fromFile.machine, kind.machine);
  } else {
    EXPECT_EQ(fileWhy, why);
  }
  // A program for this system is one of this system's own kind, and
  // nothing else is, with the reason.
  const ProgramKind self = update::thisProgramKind();
  const bool ours = c.isProgram && c.kind.platform == self.platform && c.kind.machine == self.machine;
  std::string thisWhy;
  EXPECT_EQ(update::isProgramForThisSystem("program", &thisWhy), ours) << thisWhy;
  EXPECT_EQ(update::isProgramForThisSystem(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(),
                                           "program", &thisWhy),
            ours)
      << thisWhy;
  if (!ours) {
    const std::string expected =
        c.isProgram ? "program is " + std::string(c.text) + ", not " + update::describeProgramKind(self)
                    : "program: " + std::string(c.text);
    EXPECT_EQ(thisWhy, expected);
  }
}

const std::string kElf64 = programBytes(kElfX86_64, "");

INSTANTIATE_TEST_SUITE_P(
    Table, ProgramKindOf,
    ::testing::Values(
        KindCase{"PeI386", programBytes(kPeI386, "body"), true, kPeI386, "a Windows program (PE, i386)"},
        KindCase{"PeAmd64", programBytes(kPeAmd64, "body"), true, kPeAmd64, "a Windows program (PE, x86-64)"},
        KindCase{"PeArm64", programBytes(kPeArm64, "body"), true, kPeArm64, "a Windows program (PE, machine 43620)"},
        KindCase{"PeHeaderAtTheEndOfTheHead", peAt(4090, update::kPeMachineI386, 4096), true, kPeI386,
                 "a Windows program (PE, i386)"},
        KindCase{"ElfX86_64", programBytes(kElfX86_64, "body"), true, kElfX86_64, "a Linux program (ELF, x86-64)"},
        KindCase{"ElfI386", programBytes(kElfI386, "body"), true, kElfI386, "a Linux program (ELF, i386)"},
        KindCase{"ElfAarch64", programBytes(kElfAarch64, "body"), true, kElfAarch64, "a Linux program (ELF, aarch64)"},
        KindCase{"ElfArm", programBytes(kElfArm, "body"), true, kElfArm, "a Linux program (ELF, machine 40)"},
        KindCase{"ElfOfTwentyBytes", kElf64.substr(0, 20), true, kElfX86_64, "a Linux program (ELF, x86-64)"},
        // Cut short.
        KindCase{"Empty", "", false, {}, "not a program: no PE or ELF header"},
        KindCase{"MzOnly", "MZ", false, {}, "not a program: no PE or ELF header"},
        KindCase{"DosHeaderCutShort",
                 programBytes(kPeI386, "").substr(0, 0x3F),
                 false,
                 {},
                 "not a program: no PE or ELF header"},
        KindCase{"PeHeaderWithoutItsMachine",
                 programBytes(kPeI386, "").substr(0, 0x45),
                 false,
                 {},
                 "not a program: its PE header lies past its start"},
        KindCase{"ElfOfNineteenBytes", kElf64.substr(0, 19), false, {}, "not a program: no PE or ELF header"},
        // Malformed or past the head.
        KindCase{"DosHeaderWithoutPe",
                 peAt(0x40, 0, 0x40) + std::string("NE\0\0xxxx", 8),
                 false,
                 {},
                 "not a program: a DOS header without a PE header"},
        KindCase{"PeOffsetPastTheHead",
                 peAt(5000, update::kPeMachineI386, 6000),
                 false,
                 {},
                 "not a program: its PE header lies past its start"},
        KindCase{"PeOffsetPastTheFile",
                 peAt(0x200, update::kPeMachineI386, 0x100),
                 false,
                 {},
                 "not a program: its PE header lies past its start"},
        KindCase{"PeOffsetHuge",
                 peAt(0xFFFFFFFFu, update::kPeMachineI386, 0x100),
                 false,
                 {},
                 "not a program: its PE header lies past its start"},
        KindCase{
            "BigEndianElf", withByte(kElf64, 5, 2), false, {}, "not a program for this system: a big-endian ELF file"},
        KindCase{
            "ElfOfNoByteOrder", withByte(kElf64, 5, 0), false, {}, "not a program: an ELF file of unknown byte order"},
        KindCase{"ShellScript", "#!/bin/sh\necho hello\n", false, {}, "not a program: no PE or ELF header"},
        KindCase{"ElfMagicMisspelt", withByte(kElf64, 3, 'E'), false, {}, "not a program: no PE or ELF header"},
        KindCase{"Text", std::string(5000, 'x'), false, {}, "not a program: no PE or ELF header"}),
    [](const ::testing::TestParamInfo<KindCase>& p) { return p.param.label; });

// The build's own programs are programs for this system: this test program
// itself, as the system started it.
TEST(ProgramKindOfThisBuild, ThisTestProgramIsAProgramForThisSystem) {
  const std::string self = platform::executablePath();
  ProgramKind kind;
  std::string why;
  ASSERT_TRUE(update::programKindOfFile(self.c_str(), &kind, &why)) << self << ": " << why;
  EXPECT_EQ(kind.platform, update::thisProgramKind().platform);
  EXPECT_EQ(kind.machine, update::thisProgramKind().machine);
  EXPECT_TRUE(update::isProgramForThisSystem(self.c_str(), &why)) << why;
}

TEST(ProgramKindOfThisBuild, AFileThatCannotBeReadIsNoProgram) {
  TempWorkDir work;
  ProgramKind kind;
  std::string why;
  EXPECT_FALSE(update::programKindOfFile("missing", &kind, &why));
  EXPECT_EQ(why.rfind("cannot be read", 0), 0u) << why;
  EXPECT_FALSE(update::isProgramForThisSystem("missing", &why));
  EXPECT_EQ(why.rfind("missing: cannot be read", 0), 0u) << why;
}

}  // namespace
