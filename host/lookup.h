// Name lookups that keep to a deadline. The system's resolver cannot be interrupted: a DNS server
// that never answers holds a lookup for as long as the resolver's own timeouts and retries add up
// to (tens of seconds), and Asio's resolver waits for its worker when it is destroyed. Here each
// lookup runs on a detached worker of its own and the caller waits only until its deadline (or its
// stop): a lookup that is late is left to end on its own, holding nothing the caller owns.
#pragma once

#include <asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace corvale::host {

struct LookupResult {
  std::error_code error;  // asio::error::timed_out past the deadline
  std::vector<asio::ip::tcp::endpoint> endpoints;
};

// Lookups left running past their deadline, at most: beyond it a new one fails at once rather than
// add a worker (a resolver that never answers must not make workers pile up).
inline constexpr std::size_t kMostLateLookups = 8;

// Looks `host` up for `port` (a number or a service name), waiting at most `timeout`, and less
// when `cancelled` (asked every 50 ms) says so. An address needs no lookup and takes no worker.
LookupResult LookUp(const std::string& host, const std::string& port,
                    std::chrono::milliseconds timeout,
                    const std::function<bool()>& cancelled = nullptr);

// A lookup for an Asio caller: `done` runs on `executor` once it ends, unless the lookup was
// abandoned first (by Abandon or its destruction, which also happen before the executor's context
// is gone). The caller bounds the wait itself.
class PendingLookup {
 public:
  PendingLookup(asio::any_io_executor executor, const std::string& host, const std::string& port,
                std::function<void(LookupResult)> done);
  ~PendingLookup();
  PendingLookup(const PendingLookup&) = delete;
  PendingLookup& operator=(const PendingLookup&) = delete;
  void Abandon();

  struct Shared;  // in lookup.cpp

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace corvale::host
