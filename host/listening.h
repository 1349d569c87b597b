// What the network servers (NUT, HTTP) share about listening and accepting.
#pragma once

#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/log.h"

namespace corvale::host {

// "127.0.0.1:3493", "[::1]:3493", "localhost:3493" as host and port; "*" is every address.
inline bool SplitListenAddress(const std::string& text, std::string* host, std::string* port) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = text.substr(0, colon);
  *port = text.substr(colon + 1);
  if (host->size() > 2 && host->front() == '[' && host->back() == ']') {
    *host = host->substr(1, host->size() - 2);
  }
  if (*host == "*") *host = "";  // every address, of both families
  return true;
}

// An accept that failed for want of descriptors or memory: worth a pause, not a stop. By the
// native values, which asio's enumerators carry on every OS.
inline bool OutOfDescriptors(const std::error_code& error) {
  const int code = error.value();
  return error && (code == asio::error::no_descriptors || code == asio::error::no_buffer_space ||
                   code == asio::error::no_memory || code == ENFILE);
}

// Listening sockets for "host:port", one per address it resolves to. "[::]" serves IPv6 only, so
// that "0.0.0.0" at the same port can serve IPv4 beside it. Nothing half-done stays listening:
// empty, with `failed` set (or not, for a name without addresses), when one cannot listen.
inline std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> OpenAcceptors(
    asio::io_context& io, const std::string& address, std::error_code& failed) {
  using asio::ip::tcp;
  std::string host, port;
  SplitListenAddress(address, &host, &port);
  std::vector<std::unique_ptr<tcp::acceptor>> bound;
  tcp::resolver resolver(io);
  const auto endpoints = resolver.resolve(host, port, tcp::resolver::passive, failed);
  for (const auto& entry : endpoints) {
    if (failed) break;
    auto acceptor = std::make_unique<tcp::acceptor>(io);
    acceptor->open(entry.endpoint().protocol(), failed);
    if (!failed && entry.endpoint().address().is_v6()) {
      acceptor->set_option(asio::ip::v6_only(true), failed);
    }
    if (!failed) acceptor->set_option(tcp::acceptor::reuse_address(true), failed);
    if (!failed) acceptor->bind(entry.endpoint(), failed);
    if (!failed) acceptor->listen(asio::socket_base::max_listen_connections, failed);
    if (!failed) bound.push_back(std::move(acceptor));
  }
  if (failed) bound.clear();
  return bound;
}

// One address of a server's "listen": its sockets once it can be served, and until then a retry
// every `retryEvery`, logged when it starts failing and when it serves.
struct ListenAddress {
  std::string address;
  std::vector<std::unique_ptr<asio::ip::tcp::acceptor>> acceptors;  // under the ports mutex
  std::unique_ptr<asio::steady_timer> retry;
  bool failing = false;

  // Binds (on the io's thread); `serve` starts accepting on each socket once they all listen.
  // `server` names the server in the log ("HTTP: "), `ports` guards `acceptors`.
  void Bind(asio::io_context& io, Logger& log, const std::string& server,
            std::chrono::milliseconds retryEvery, std::mutex& ports,
            std::function<void(asio::ip::tcp::acceptor&)> serve) {
    std::error_code failed;
    auto bound = OpenAcceptors(io, address, failed);
    if (failed || bound.empty()) {
      if (!failing) {
        log.Log(Priority::kError,
                server + "cannot listen on " + address + ": " +
                    (failed ? failed.message() : std::string("no such address")) +
                    "; trying again every " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::seconds>(retryEvery).count()) +
                    " s");
      }
      failing = true;
      if (!retry) retry = std::make_unique<asio::steady_timer>(io);
      retry->expires_after(retryEvery);
      retry->async_wait([this, &io, &log, server, retryEvery, &ports,
                         serve = std::move(serve)](const std::error_code& cancelled) {
        if (!cancelled) Bind(io, log, server, retryEvery, ports, serve);
      });
      return;
    }
    if (failing) log.Log(Priority::kNotice, server + "listening on " + address);
    failing = false;
    {
      std::lock_guard lock(ports);
      acceptors = std::move(bound);
    }
    for (auto& acceptor : acceptors) serve(*acceptor);
  }

  std::vector<unsigned short> Ports() const {
    std::vector<unsigned short> ports;
    for (const auto& acceptor : acceptors) {
      std::error_code ignored;
      ports.push_back(acceptor->local_endpoint(ignored).port());
    }
    return ports;
  }
};

}  // namespace corvale::host
