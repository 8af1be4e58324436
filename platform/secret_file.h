// A new file that only its owner may read: for the operator's private keys.
#pragma once

#include <string>

namespace platform {

// Creates path, which must not exist yet, readable and writable by the
// current user alone from the moment it exists (Linux: mode 0600 at
// creation; Windows: a protected DACL granting the owner alone), writes bytes
// and flushes them to disk. False, with the system's reason in *why, when
// the file exists or cannot be created or written; a file that was created
// but not written whole is removed.
bool writeNewSecretFile(const char* path, const std::string& bytes, std::string* why);

}  // namespace platform
