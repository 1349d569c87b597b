// A TCP port on the loopback address that nobody listens on, for a server under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvale::testing {

// A TCP socket bound to a port of the loopback address the system chose; its port in `port`.
inline int BoundLoopbackSocket(int* port) {
  const int bound = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(bound, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(bound, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return bound;
}

inline int FreePort() {
  int port = 0;
  close(BoundLoopbackSocket(&port));
  return port;
}

}  // namespace corvale::testing
