#include "platform/linux/rar_reader/sandbox.h"

#include <seccomp.h>
#include <sys/prctl.h>

#include <cerrno>
#include <cstring>

namespace platform {

bool enterReaderSandbox(std::string* why) {
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    *why = std::string("no_new_privs: ") + std::strerror(errno);
    return false;
  }
  scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
  if (!filter) {
    *why = "seccomp_init failed";
    return false;
  }
  // What reading an archive from a descriptor, talking over the socket it
  // was given (receiving the launcher's files among its answers) and
  // writing into those files needs, and what the C runtime (and the
  // sanitizers' runtime in test builds) asks for while it does so. Nothing
  // here reaches a new file, a new socket or another process.
  const int allowed[] = {
      SCMP_SYS(read),        SCMP_SYS(readv),         SCMP_SYS(pread64),      SCMP_SYS(write),
      SCMP_SYS(writev),      SCMP_SYS(pwrite64),      SCMP_SYS(recvmsg),      SCMP_SYS(lseek),
      SCMP_SYS(fstat),       SCMP_SYS(newfstatat),    SCMP_SYS(close),        SCMP_SYS(brk),
      SCMP_SYS(mmap),        SCMP_SYS(munmap),        SCMP_SYS(mremap),       SCMP_SYS(mprotect),
      SCMP_SYS(madvise),     SCMP_SYS(futex),         SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask),
      SCMP_SYS(sigaltstack), SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday), SCMP_SYS(getpid),
      SCMP_SYS(gettid),      SCMP_SYS(sched_yield),   SCMP_SYS(exit),         SCMP_SYS(exit_group),
  };
  int result = 0;
  for (int call : allowed) {
    result = seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0);
    if (result != 0) break;
  }
  if (result == 0) result = seccomp_load(filter);
  seccomp_release(filter);
  if (result != 0) {
    *why = std::string("seccomp: ") + std::strerror(-result);
    return false;
  }
  return true;
}

}  // namespace platform
