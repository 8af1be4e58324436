#include "support/loopback.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
void closeSocket(Socket s) { closesocket(s); }
void startSockets() {
  static bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}
// Winsock's sockets are not inherited unless CreateProcess asks for it.
Socket newSocket() { return ::socket(AF_INET, SOCK_STREAM, 0); }
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
void closeSocket(Socket s) { ::close(s); }
void startSockets() {}
Socket newSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
#endif

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<unsigned short>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A new socket connected to 127.0.0.1:port, or kNoSocket.
Socket connectTo(int port) {
  startSockets();
  Socket s = newSocket();
  if (s == kNoSocket) return kNoSocket;
  sockaddr_in address = loopback(port);
  if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closeSocket(s);
    return kNoSocket;
  }
  return s;
}

}  // namespace

int freeLoopbackPort() {
  startSockets();
  Socket s = newSocket();
  if (s == kNoSocket) return 0;
  sockaddr_in address = loopback(0);
  int port = 0;
  if (::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    socklen_t length = sizeof address;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0) port = ntohs(address.sin_port);
  }
  closeSocket(s);
  return port;
}

bool loopbackPortAccepts(int port) {
  Socket s = connectTo(port);
  if (s == kNoSocket) return false;
  closeSocket(s);
  return true;
}

bool LoopbackConnection::open(int port) {
  close();
  Socket s = connectTo(port);
  if (s == kNoSocket) return false;
  socket_ = static_cast<std::intptr_t>(s);
  return true;
}

void LoopbackConnection::close() {
  if (socket_ == -1) return;
  closeSocket(static_cast<Socket>(socket_));
  socket_ = -1;
}
