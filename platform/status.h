// The outcome of an operation that can fail for a reason worth telling: ok,
// or a failure with its reason as text ("archive 3: name length 40 above
// 31"). Callers that know more put their context in front of the reason
// ("data.idx: archive 3: ..."); the player's messages stay as they are, the
// reason goes to the trace and to the operator's tool.
//
// Ignoring a Status is a compile warning: a function that returns one says
// its caller must look.
#pragma once

#include <string>
#include <utility>

namespace platform {

class [[nodiscard]] Status {
 public:
  // Ok.
  Status() = default;

  // A failure with this reason; an empty reason becomes "failed", so a
  // failure always has text to show.
  static Status failure(std::string reason);
  // A failure whose reason is what failed and the system's own text for the
  // last system call's error: "data.idx.new cannot be created: Permission
  // denied". Call it straight after the failing call, before any other.
  static Status systemFailure(const std::string& what);
  // The same with the system's text alone ("No space left on device"), for
  // a call that does not know which file it works on; the caller puts the
  // name in front with withContext.
  static Status systemFailure();

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  // The failure's reason; "" when ok.
  const std::string& reason() const { return reason_; }

  // The same outcome with context in front of a failure's reason
  // ("data.idx" and "archive 3: ..." give "data.idx: archive 3: ..."); ok
  // stays ok.
  Status withContext(const std::string& context) const;

 private:
  Status(bool failed, std::string reason) : failed_(failed), reason_(std::move(reason)) {}

  bool failed_ = false;
  std::string reason_;
};

// The system's own text for the error of the last failed system call on
// this thread: strerror(errno) on Linux, FormatMessageA(GetLastError()) on
// Windows.
std::string lastSystemError();

}  // namespace platform
