// A test stand-in for an HTTP server that closes kept-alive connections, for
// the download's tests: reset_on_reuse_server.py, a small Python 3 server on
// free loopback ports, started by the test and ending with it.
//
// Many servers and proxies close a kept-alive connection that has been idle
// for a while, and the close can cross the next request on it. nginx cannot
// be made to do that on purpose, hence this stand-in, at its worst: it
// answers the first request on a connection and keeps the connection open;
// when the next request arrives on it, it waits 0.25 s and resets the
// connection without answering. A request asking for "Connection: close" is
// answered and the connection closed after it, as real servers do.
//
// Natively the server is our child; under Wine, Wine starts it as a Unix
// program. Either way it lives as long as the connection this object holds
// to its control port, so it ends with the test even when the test dies.
#pragma once

#include <string>

#include "support/loopback.h"

// What the server did, from its record of every request.
struct ResetOnReuseTally {
  int requests = 0;
  int answered = 0;      // answered, connection kept open
  int closed = 0;        // answered, then closed as the request asked
  int reset = 0;         // a request on a kept connection: reset unanswered
  int askedToClose = 0;  // requests that carried "Connection: close"
};

class ResetOnReuseServer {
 public:
  // Serves body for every GET, whatever the path.
  explicit ResetOnReuseServer(std::string body);
  ~ResetOnReuseServer();
  ResetOnReuseServer(const ResetOnReuseServer&) = delete;
  ResetOnReuseServer& operator=(const ResetOnReuseServer&) = delete;

  // Starts the server and waits until it listens; false (and why()) when it
  // does not come up.
  bool start();
  // Lets the server go and waits until it has ended.
  void stop();

  // "http://127.0.0.1:<port>"
  std::string baseUrl() const;
  ResetOnReuseTally tally() const;
  const std::string& why() const { return why_; }

 private:
  std::string body_;
  std::string directory_;  // as this process names it
  std::string why_;
  int port_ = 0;
  long pid_ = -1;  // natively: the child to reap
  LoopbackConnection control_;
};
