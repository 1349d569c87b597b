// The read-only HTTP endpoint: Prometheus metrics, the JSON API and the status page. One thread
// of its own with its own io, so that no HTTP client, however slow or hostile, delays a poll, a
// NUT reply or the shutdown; bounded in connections, request size and time.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host/log.h"
#include "host/status_board.h"

namespace corvale::host::http {

struct HttpOptions {
  std::vector<std::string> listen;  // "address:port"
  std::string historyFile;          // what /api/v1/events reads; empty: the recent ones only
  std::string version;
  std::size_t maxConnections = 64;                  // more are closed as they come
  std::size_t maxConnectionsPerAddress = 8;         // from one remote address (loopback exempt)
  std::size_t maxHeaderBytes = 8192;                // the request line and headers together
  std::chrono::milliseconds requestTimeout{10000};  // to send a whole request, or to idle
  std::size_t maxRequestsPerConnection = 100;
  std::chrono::milliseconds retryEvery{10000};  // an address that cannot be served yet
};

class HttpServer {
 public:
  HttpServer(StatusBoard& board, HttpOptions options, Logger& log);
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Serves on a thread of its own; an address that cannot be served yet is logged and tried
  // again. False, with `error` set, only for an address that can never be served.
  bool Start(std::string* error);
  void Stop();
  // The ports listened on so far (useful with port 0).
  std::vector<unsigned short> Ports() const;

  struct State;  // in http_server.cpp

 private:
  std::unique_ptr<State> state_;
};

}  // namespace corvale::host::http
