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
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/host_os.h"
#include "host/log.h"

namespace corvale::host {

enum class RequestKind { kFlag, kUnflag, kShutdown, kPowerOff, kPing };
// "flag", "unflag", "shutdown", "poweroff", "ping"
const char* RequestName(RequestKind kind);

// A request's name: "<instance>-<sequence>-<kind>", both numbers in exactly 20 digits. The
// instance is the service's start (ms since 1970, later than any instance whose answers are
// still there), so that the helper can tell an earlier run's requests; the two numbers name the
// request's answer.
struct RequestId {
  std::uint64_t instance = 0;
  std::uint64_t sequence = 0;
  std::string Text() const;  // the answer's name: "<instance>-<sequence>"
};
struct ParsedRequest {
  RequestId id;
  RequestKind kind;
  // A flag's UPSes: a bit for each of the helper's configuration, in its order ("-flag-" and 20
  // digits); 0 ("-flag"): the one UPS of a file with one.
  std::uint64_t units = 0;
  // With `units`: the list of UPSes they are places in, as the service runs on it (a digest,
  // "-" and 20 digits more); root acts only when its own file holds the same list.
  std::uint64_t upsList = 0;
};
std::string RequestFileName(const RequestId& id, RequestKind kind, std::uint64_t units = 0,
                            std::uint64_t upsList = 0);
// Exactly the form RequestFileName writes, or nothing.
std::optional<ParsedRequest> ParseRequestFileName(const std::string& name);

struct ShutdownRequestsOptions {
  // A shutdown request not answered in this time counts as failed; it is taken back.
  std::chrono::milliseconds patience = std::chrono::seconds(150);
  // How often a ping asks whether the helper answers, and how long it may take.
  std::chrono::milliseconds pingEvery = std::chrono::minutes(5);
  std::chrono::milliseconds pingPatience = std::chrono::seconds(10);
  // Hears whether the helper answers (false: a ping went unanswered), on each change and after
  // the first ping; on this object's thread.
  std::function<void(bool ready)> readiness;
  // The digest of the UPS list the service runs on, sent with a flag for some of several UPSes.
  std::uint64_t upsList = 0;
};

// The service's side.
class ShutdownRequests {
 public:
  using Ended = std::function<void(const std::optional<ExitStatus>&)>;
  // Requests go into `folder` (the service's, emptied here of what an earlier run left), results
  // come from `results` (the helper's, which the service may read but not write).
  ShutdownRequests(std::string folder, std::string results, Logger& log,
                   ShutdownRequestsOptions options = {});
  ~ShutdownRequests();
  ShutdownRequests(const ShutdownRequests&) = delete;
  ShutdownRequests& operator=(const ShutdownRequests&) = delete;

  // `units`: for a flag, the UPSes to turn off (a bit each, in the configuration's order).
  void Ask(RequestKind kind, std::uint64_t units = 0);
  // The list of UPSes the service runs on from now (a reload moved one to another port).
  void SetUpsList(std::uint64_t upsList);
  // Asks for the shutdown command (or the system's own call) and hears how it ended, on a
  // thread of this object's. Nothing when the helper never took the request or did not answer.
  void AskAndWait(RequestKind kind, Ended ended);
  // False while the latest ping went unanswered; true before the first answer is due.
  bool Ready() const;
  // Whether the latest ping was answered; nothing before the first answer or silence.
  std::optional<bool> Answered() const;

 private:
  bool Leave(RequestKind kind, RequestId* id, std::uint64_t units = 0);
  void Watch();
  // Leaves a ping; false when it cannot.
  bool Ping(std::chrono::steady_clock::time_point now);

  std::string folder_;
  std::string results_;
  Logger& log_;
  ShutdownRequestsOptions options_;
  std::unique_ptr<Folder> requests_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t instance_;
  std::uint64_t next_ = 0;
  struct Waiting {
    RequestKind kind;
    Ended ended;
    std::chrono::steady_clock::time_point until;
  };
  std::map<std::uint64_t, Waiting> waiting_;
  std::optional<std::uint64_t> ping_;  // the unanswered ping
  std::chrono::steady_clock::time_point pingDue_;
  std::optional<bool> ready_;
  bool stopping_ = false;
  std::thread watcher_;
};

// The helper's side: how to carry out each kind of request.
struct RequestHandlers {
  // ParsedRequest::units and ::upsList
  std::function<void(std::uint64_t units, std::uint64_t upsList)> writeFlag;
  std::function<void()> removeFlag;
  std::function<std::optional<ExitStatus>()> shutdown;  // nothing: it could not start
  std::function<std::optional<ExitStatus>()> powerOff;
};

struct HelperLimits {
  std::size_t names = 16384;  // looked at in one start
  std::size_t requests = 64;  // carried out in one start
  // Older requests (or from further in the future) are dropped: longer than the service waits
  // for an answer (150 s), after which it takes back what the helper has not taken.
  std::chrono::seconds maxAge{180};
  std::chrono::seconds resultLifetime{300};  // answers nobody read are removed after this
};

// One start of the helper: carries out the requests in `folder`, oldest first, and answers in
// `results` (a folder only root may write). It reads names only: anything else there (another
// name, a file in the making, a folder, a link, a FIFO) is removed and logged, as are requests of
// an earlier run of the service and requests older than `maxAge`. Each name is handled at most
// once, every request is removed before it is carried out, and at most `requests` are carried
// out; the rest wait for the next start. The number carried out.
int HandleRequests(const std::string& folder, const std::string& results,
                   const RequestHandlers& handlers, Logger& log, const HelperLimits& limits = {});

}  // namespace corvale::host
