// TCP on 127.0.0.1 for the test harnesses: free ports, whether a port
// accepts, and a connection held open. Natively and under Wine (Winsock).
#pragma once

#include <cstdint>

// A free TCP port on 127.0.0.1 (bound and released, so another process could
// take it in between; servers that take it later retry with a new one then).
int freeLoopbackPort();
// True when something accepts connections on 127.0.0.1:port.
bool loopbackPortAccepts(int port);

// A connection to 127.0.0.1:port held open until close() or destruction, for
// a server that lives as long as the test holds it: the system closes it
// when the test process ends, whichever way it ends. Not passed on to the
// programs the test starts.
class LoopbackConnection {
 public:
  LoopbackConnection() = default;
  ~LoopbackConnection() { close(); }
  LoopbackConnection(const LoopbackConnection&) = delete;
  LoopbackConnection& operator=(const LoopbackConnection&) = delete;

  // False when nothing accepts the connection.
  bool open(int port);
  void close();

 private:
  std::intptr_t socket_ = -1;
};
