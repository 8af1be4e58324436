// Status, the same on both platforms; lastSystemError is per platform.
#include "platform/status.h"

namespace platform {

Status Status::failure(std::string reason) {
  if (reason.empty()) reason = "failed";
  return Status(true, std::move(reason));
}

Status Status::systemFailure(const std::string& what) {
  std::string system = lastSystemError();  // first, before anything can change the error
  return failure(what + ": " + system);
}

Status Status::systemFailure() { return failure(lastSystemError()); }

Status Status::withContext(const std::string& context) const {
  if (ok()) return *this;
  return Status(true, context + ": " + reason_);
}

}  // namespace platform
