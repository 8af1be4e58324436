#include "update/program_kind.h"

#include <vector>

#include "archive/byte_order.h"
#include "platform/file.h"
#include "platform/status.h"

namespace update {

namespace {

bool fail(std::string* why, const std::string& reason) {
  if (why) *why = reason;
  return false;
}

std::uint16_t getU16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

const char* machineName(LauncherPlatform platform, std::uint16_t machine) {
  if (platform == LauncherPlatform::kWindows) {
    if (machine == kPeMachineI386) return "i386";
    if (machine == kPeMachineAmd64) return "x86-64";
  } else {
    if (machine == kElfMachineI386) return "i386";
    if (machine == kElfMachineX86_64) return "x86-64";
    if (machine == kElfMachineAarch64) return "aarch64";
  }
  return nullptr;
}

}  // namespace

bool programKindOf(const unsigned char* head, std::size_t size, ProgramKind* kind, std::string* why) {
  if (size > kProgramHeadBytes) size = kProgramHeadBytes;
  if (size >= 0x40 && head[0] == 'M' && head[1] == 'Z') {
    const std::uint32_t peOffset = archive::getU32(head + 0x3C);
    if (peOffset > size || size - peOffset < 6) return fail(why, "not a program: its PE header lies past its start");
    const unsigned char* pe = head + peOffset;
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0)
      return fail(why, "not a program: a DOS header without a PE header");
    *kind = ProgramKind{LauncherPlatform::kWindows, getU16(pe + 4)};
    return true;
  }
  if (size >= 20 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F') {
    if (head[5] == 2) return fail(why, "not a program for this system: a big-endian ELF file");
    if (head[5] != 1) return fail(why, "not a program: an ELF file of unknown byte order");
    *kind = ProgramKind{LauncherPlatform::kLinux, getU16(head + 18)};
    return true;
  }
  return fail(why, "not a program: no PE or ELF header");
}

bool programKindOfFile(const char* path, ProgramKind* kind, std::string* why) {
  platform::File file(platform::openFileForReading(path));
  if (!file) return fail(why, "cannot be read: " + platform::lastSystemError());
  std::vector<unsigned char> head(kProgramHeadBytes);
  std::size_t size = 0;
  while (size < head.size()) {
    std::int64_t got = platform::readFileAt(file.get(), size, head.data() + size, head.size() - size);
    if (got < 0) return fail(why, "cannot be read: " + platform::lastSystemError());
    if (got == 0) break;
    size += static_cast<std::size_t>(got);
  }
  return programKindOf(head.data(), size, kind, why);
}

std::string describeProgramKind(const ProgramKind& kind) {
  const bool windows = kind.platform == LauncherPlatform::kWindows;
  const char* machine = machineName(kind.platform, kind.machine);
  std::string text = windows ? "a Windows program (PE, " : "a Linux program (ELF, ";
  if (machine) {
    text += machine;
  } else {
    text += "machine " + std::to_string(kind.machine);
  }
  return text + ")";
}

ProgramKind thisProgramKind() {
#if defined(_WIN32) && (defined(__x86_64__) || defined(_M_X64))
  return {LauncherPlatform::kWindows, kPeMachineAmd64};
#elif defined(_WIN32)
  return {LauncherPlatform::kWindows, kPeMachineI386};
#elif defined(__x86_64__)
  return {LauncherPlatform::kLinux, kElfMachineX86_64};
#elif defined(__aarch64__)
  return {LauncherPlatform::kLinux, kElfMachineAarch64};
#else
  return {LauncherPlatform::kLinux, kElfMachineI386};
#endif
}

namespace {

bool kindIsThisSystems(const ProgramKind& kind, const std::string& name, std::string* why) {
  const ProgramKind wanted = thisProgramKind();
  if (kind.platform != wanted.platform || kind.machine != wanted.machine)
    return fail(why, name + " is " + describeProgramKind(kind) + ", not " + describeProgramKind(wanted));
  return true;
}

}  // namespace

bool isProgramForThisSystem(const char* path, std::string* why) {
  ProgramKind kind;
  std::string reason;
  if (!programKindOfFile(path, &kind, &reason)) return fail(why, std::string(path) + ": " + reason);
  return kindIsThisSystems(kind, path, why);
}

bool isProgramForThisSystem(const unsigned char* head, std::size_t size, const std::string& name, std::string* why) {
  ProgramKind kind;
  std::string reason;
  if (!programKindOf(head, size, &kind, &reason)) return fail(why, name + ": " + reason);
  return kindIsThisSystems(kind, name, why);
}

}  // namespace update
