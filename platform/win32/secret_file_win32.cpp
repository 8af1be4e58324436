#include "platform/secret_file.h"

#include <windows.h>
// sddl.h needs the types of windows.h.
#include <sddl.h>

namespace platform {

namespace {

std::string systemMessage(DWORD code) {
  char text[512] = {0};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                sizeof text, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' '))
    text[--length] = '\0';
  return length ? text : "error " + std::to_string(code);
}

}  // namespace

bool writeNewSecretFile(const char* path, const std::string& bytes, std::string* why) {
  // Protected (no inherited entries), full access for the file's owner alone.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;OW)", SDDL_REVISION_1, &descriptor, nullptr)) {
    *why = std::string(path) + ": " + systemMessage(GetLastError());
    return false;
  }
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = GetLastError();
  LocalFree(descriptor);
  if (file == INVALID_HANDLE_VALUE) {
    *why = std::string(path) + ": " + systemMessage(error);
    return false;
  }
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size() && FlushFileBuffers(file);
  if (!ok) *why = std::string(path) + ": " + systemMessage(GetLastError());
  CloseHandle(file);
  if (!ok) DeleteFileA(path);
  return ok;
}

}  // namespace platform
