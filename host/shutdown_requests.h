// The unprivileged service asks, the root helper acts. The network-facing service runs as a
// system user and may not write the flag that kill-power trusts, nor shut the system down; it
// leaves one file per request in a folder that systemd watches (corvale-ups-shutdown.path), and
// `corvale-ups shutdown-helper`, started as root for it, does the work and leaves the result.
// A request is only a name ("17-shutdown"): what to run and where the flag goes come from the
// helper's own configuration, never from the request.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/host_os.h"
#include "host/log.h"

namespace corvale::host {

enum class RequestKind { kFlag, kUnflag, kShutdown, kPowerOff };
const char* RequestName(RequestKind kind);  // "flag", "unflag", "shutdown", "poweroff"

// The service's side.
class ShutdownRequests {
 public:
  using Ended = std::function<void(const std::optional<ExitStatus>&)>;
  // Requests go into `folder` (the service's), results come from `results` (the helper's, which
  // the service may read but not write); one not there after `patience` counts as failed.
  ShutdownRequests(std::string folder, std::string results, Logger& log,
                   std::chrono::milliseconds patience = std::chrono::seconds(150));
  ~ShutdownRequests();
  ShutdownRequests(const ShutdownRequests&) = delete;
  ShutdownRequests& operator=(const ShutdownRequests&) = delete;

  void Ask(RequestKind kind);
  // Asks for the shutdown command (or the system's own call) and hears how it ended, on a
  // thread of this object's.
  void AskAndWait(RequestKind kind, Ended ended);

 private:
  bool Leave(RequestKind kind, std::uint64_t* number);
  void Watch();

  std::string folder_;
  std::string results_;
  Logger& log_;
  std::chrono::milliseconds patience_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t next_;
  struct Waiting {
    RequestKind kind;
    Ended ended;
    std::chrono::steady_clock::time_point until;
  };
  std::map<std::uint64_t, Waiting> waiting_;
  bool stopping_ = false;
  std::thread watcher_;
};

// The helper's side: how to carry out each kind of request.
struct RequestHandlers {
  std::function<void()> writeFlag;
  std::function<void()> removeFlag;
  std::function<std::optional<ExitStatus>()> shutdown;  // nothing: it could not start
  std::function<std::optional<ExitStatus>()> powerOff;
};

// Carries out every request waiting in `folder`, oldest first, and leaves the results of the
// shutdown requests in `results`. Nothing but the names of requests is read; other names are left
// alone. The number handled.
int HandleRequests(const std::string& folder, const std::string& results,
                   const RequestHandlers& handlers, Logger& log);

}  // namespace corvale::host
