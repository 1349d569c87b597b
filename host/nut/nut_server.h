// The NUT network server: accepts clients on the configured addresses and moves lines between
// each socket and its Session. Replies never wait for the serial line, each connection is
// bounded (line length, queued output, idle time), and a slow client delays nobody else.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/log.h"
#include "host/nut/nut_session.h"

namespace corvale::nut {

struct ServerOptions {
  std::vector<std::string> listen;  // "address:port"
  std::size_t maxClients = 64;
  std::size_t maxClientsPerAddress = 8;  // loopback exempt
  std::string certificate;               // PEM; with `key`, STARTTLS is offered
  std::string key;
  std::chrono::milliseconds idleTimeout{60000};  // a client silent this long is dropped
  // An address that cannot be served yet (not assigned, certificate missing) is tried again.
  std::chrono::milliseconds retryEvery{10000};
};

class Server {
 public:
  Server(Backend& backend, ServerOptions options, host::Logger& log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts serving on a thread of its own. Each address that cannot be served yet is logged and
  // tried again in the background while the others serve; false, with `error` set, only for an
  // address that can never be served (not "address:port").
  bool Start(std::string* error);
  void Stop();

  // The ports listened on so far, in the order of `listen` (useful with port 0).
  std::vector<unsigned short> Ports() const;
  // Open connections, logged in or not.
  std::size_t Connections() const;

  struct State;  // the sockets and their connections, in nut_server.cpp

 private:
  std::unique_ptr<State> state_;
  std::thread thread_;
};

// True when the certificate and key can be loaded and belong together; else why not.
bool CheckTlsFiles(const std::string& certificate, const std::string& key, std::string* error);

}  // namespace corvale::nut
