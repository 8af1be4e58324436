// Which system's program a file is, read from its headers alone: a launcher
// or client published for one platform must never be put in place, nor
// started, on the other. Windows programs are PE files ("MZ", then at the
// offset e_lfanew that the DOS header gives at 0x3C, "PE\0\0" and the u16
// machine); Linux programs are ELF files ("\x7f" "ELF", class at 4, byte
// order at 5, the u16 e_machine at 18). Nothing else is a program here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "update/server_files.h"

namespace update {

// The machine numbers this code tells apart (the file formats' own).
constexpr std::uint16_t kPeMachineI386 = 0x014C;
constexpr std::uint16_t kPeMachineAmd64 = 0x8664;
constexpr std::uint16_t kElfMachineI386 = 3;
constexpr std::uint16_t kElfMachineX86_64 = 62;
constexpr std::uint16_t kElfMachineAarch64 = 183;

struct ProgramKind {
  LauncherPlatform platform = LauncherPlatform::kWindows;
  std::uint16_t machine = 0;  // PE's machine or ELF's e_machine
};

// How many bytes from the file's start programKindOf may need: a PE header
// further in than this is refused.
constexpr std::size_t kProgramHeadBytes = 4096;

// Reads the kind from the first bytes of a file (at most kProgramHeadBytes
// are looked at). False, with the reason ("not a program: no PE or ELF
// header"), when they are no PE or little-endian ELF header whole.
bool programKindOf(const unsigned char* head, std::size_t size, ProgramKind* kind, std::string* why);
// The same for the file at path; false with the reason when it cannot be
// read either.
bool programKindOfFile(const char* path, ProgramKind* kind, std::string* why);

// "a Windows program (PE, i386)", "a Linux program (ELF, x86-64)".
std::string describeProgramKind(const ProgramKind& kind);

// The kind of program this launcher is: its platform and the machine it was
// built for.
ProgramKind thisProgramKind();

// Whether the file at path is a program this launcher's system runs as it
// runs the launcher itself: same platform, same machine. False with the
// reason ("Start VLM.exe is a Linux program (ELF, x86-64), not a Windows
// program (PE, i386)") otherwise.
bool isProgramForThisSystem(const char* path, std::string* why);
// The same for the first bytes of a file already in hand, named `name` in
// the reason: a caller that hashed those very bytes judges what it hashed.
bool isProgramForThisSystem(const unsigned char* head, std::size_t size, const std::string& name, std::string* why);

}  // namespace update
