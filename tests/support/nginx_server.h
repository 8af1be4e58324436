// A real nginx on a loopback port, for tests and benchmarks.
//
// Each NginxServer has its own temporary prefix directory holding the
// configuration, the pid file, nginx's temp folders, the error and access
// logs, and the document root (documentRoot(), served at "/"). It listens on
// 127.0.0.1 on a free port and is stopped and removed on destruction.
//
// Linux: nginx (/usr/sbin/nginx, or VLM_NGINX) runs as our child with
// "daemon off; master_process off;", one process we can signal.
// Windows (under Wine): the test cannot fork a Linux program, but Wine starts
// Unix executables through CreateProcess; so /bin/sh runs small scripts in
// the prefix that start nginx as a daemon (pid file) and signal it. The
// prefix lies under Z:\tmp so both sides know its path.
#pragma once

#include <cstdint>
#include <string>

#include "support/loopback.h"

struct NginxOptions {
  // Bytes per second per connection (nginx limit_rate); 0: no limit.
  std::uint64_t limitRate = 0;
  // Extra directives for the server block, e.g. "location = /x { return 500; }".
  std::string extraServerConfig;
};

class NginxServer {
 public:
  explicit NginxServer(NginxOptions options = NginxOptions());
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  // Starts nginx and waits until it accepts connections. False (and why())
  // when it does not come up.
  bool start();
  // Stops nginx (SIGTERM, then SIGKILL) and waits until the port is closed.
  void stop();
  // Kills nginx at once (SIGKILL): open connections are cut.
  void kill();
  // Freezes / thaws the process (SIGSTOP / SIGCONT): connections stay open
  // but nothing moves.
  void pause();
  void resume();

  bool running() const { return running_; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string baseUrl() const;
  // The served directory, as this process names it.
  const std::string& documentRoot() const { return documentRoot_; }
  // The prefix directory (logs: error.log, access.log).
  const std::string& prefix() const { return prefix_; }
  const std::string& why() const { return why_; }

 private:
  bool startOnce();
  void signal(const char* name);
  void writeConfig();

  NginxOptions options_;
  std::string prefix_;        // as this process names it
  std::string unixPrefix_;    // as nginx names it
  std::string documentRoot_;  // prefix_ + "/www"
  std::string why_;
  int port_ = 0;
  long pid_ = -1;
  bool running_ = false;
};
