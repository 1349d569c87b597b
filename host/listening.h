// What the network servers (NUT, HTTP) share about listening and accepting.
#pragma once

#include <algorithm>
#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <functional>
#include <list>
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

// The address, with an IPv4-mapped IPv6 one ("::ffff:192.0.2.7") as the IPv4 address it is.
inline asio::ip::address Unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

// This machine's own: exempt from the per-address caps.
inline bool LoopbackClient(const asio::ip::address& address) {
  return Unmapped(address).is_loopback();
}

// What the per-address caps count by: one remote machine's share. An IPv4 address; for IPv6 the
// /64, the least a network is given, since a machine in it may take any of its addresses.
inline std::string AddressGroup(const asio::ip::address& address) {
  const auto unmapped = Unmapped(address);
  if (unmapped.is_v4()) return unmapped.to_string();
  auto bytes = unmapped.to_v6().to_bytes();
  std::fill(bytes.begin() + 8, bytes.end(), 0);
  return asio::ip::make_address_v6(bytes).to_string() + "/64";
}

// An accept that failed for want of descriptors or memory: worth a pause, not a stop. By the
// native values, which asio's enumerators carry on every OS.
inline bool OutOfDescriptors(const std::error_code& error) {
  const int code = error.value();
  return error && (code == asio::error::no_descriptors || code == asio::error::no_buffer_space ||
                   code == asio::error::no_memory || code == ENFILE);
}

// Makes `acceptor` (open, not bound) hold its address as this OS lets a server hold it alone.
// POSIX: SO_REUSEADDR, so that a restart listens again at once (it never shares a port that
// listens). Windows, where SO_REUSEADDR would let any local program bind the same port and take the
// clients over: SO_EXCLUSIVEADDRUSE. One file per OS (posix/, windows/).
void ReserveListenAddress(asio::ip::tcp::acceptor& acceptor, std::error_code& failed);

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
    if (!failed) ReserveListenAddress(*acceptor, failed);
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
};

// A server's "listen" list as addresses to bind; false, with `error` set, for one that is not
// "address:port".
inline bool ReadListenList(const std::vector<std::string>& listen,
                           std::list<ListenAddress>& addresses, std::string* error) {
  for (const auto& address : listen) {
    std::string host, port;
    if (!SplitListenAddress(address, &host, &port)) {
      *error = "cannot listen on \"" + address + "\": give it as address:port";
      return false;
    }
    addresses.push_back({address, {}, nullptr, false});
  }
  return true;
}

// The ports listened on so far, in the order of the list (useful with port 0). Call with the
// ports mutex held.
inline std::vector<unsigned short> ListeningPorts(const std::list<ListenAddress>& addresses) {
  std::vector<unsigned short> ports;
  for (const auto& address : addresses) {
    for (const auto& acceptor : address.acceptors) {
      std::error_code ignored;
      ports.push_back(acceptor->local_endpoint(ignored).port());
    }
  }
  return ports;
}

// Accepts on `acceptor` for as long as its io runs, handing each socket to `admit`. Out of
// descriptors, accepting again at once would only spin: it pauses a second and goes on (the place
// comes back when a client leaves), logging once per spell; `paused` is the server's, shared by
// its sockets.
template <typename Admit>
void AcceptClients(asio::ip::tcp::acceptor& acceptor, Logger& log, const std::string& clients,
                   bool& paused, Admit admit) {
  acceptor.async_accept([&acceptor, &log, clients, &paused, admit](
                            const std::error_code& failed, asio::ip::tcp::socket socket) mutable {
    if (failed == asio::error::operation_aborted) return;
    if (OutOfDescriptors(failed)) {
      if (!paused) {
        log.Log(Priority::kError,
                "cannot accept " + clients + ": " + failed.message() + "; pausing");
      }
      paused = true;
      // A timer of its own: one shared by the sockets would cancel the others' pauses.
      auto timer =
          std::make_shared<asio::steady_timer>(acceptor.get_executor(), std::chrono::seconds(1));
      timer->async_wait(
          [&acceptor, &log, clients, &paused, admit, timer](const std::error_code& cancelled) {
            if (!cancelled) AcceptClients(acceptor, log, clients, paused, admit);
          });
      return;
    }
    if (!failed) {
      paused = false;
      admit(std::move(socket));
    }
    AcceptClients(acceptor, log, clients, paused, admit);
  });
}

}  // namespace corvale::host
