// `corvale-ups service` at work: the parts of the running service, wired from its configuration
// file, and what a reload may replace. Private to the front-end: service_run.cpp wires and runs
// it, service_reload.cpp reads the file again, service_answers.cpp answers this machine's
// commands and drills.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/agent/follower_source.h"
#include "host/config.h"
#include "host/control.h"
#include "host/history.h"
#include "host/host.h"
#include "host/http/http_server.h"
#include "host/notify/notifier.h"
#include "host/nut/nut_backend.h"
#include "host/nut/nut_server.h"
#include "host/plan/coordinator.h"
#include "host/plan/drill.h"
#include "host/shutdown_requests.h"
#include "host/status_board.h"

namespace corvale {

// What events, history and notices name when they are about the machine, not one UPS: its UPS,
// or every UPS it follows ("a@h1,b@h2").
std::string MachineUpsName(const host::Config& config);
// What of the host's options the file sets, and so a reload may change.
void TakeHostSettings(const host::Config& config, host::HostOptions& options);
// The certificate and key as they are now: renewed files are taken at a reload.
std::string TlsFiles(const host::Config& config);

class Service {
 public:
  // `driver`: none for an agent.
  Service(std::string path, const host::Config& config, DriverLibrary* driver, host::Logger& log)
      : path_(std::move(path)),
        config_(std::make_shared<const host::Config>(config)),
        driver_(driver),
        log_(log),
        upsName_(MachineUpsName(config)) {}

  int Run();

 private:
  // The wiring, in the order Run takes it; each part reads the configuration the service
  // started on.
  void ShareOverNut(const host::Config& config);     // the primary's NUT backend
  void AskRootHelper(const host::Config& config);    // without root's rights
  void RemoveStaleFlag(const host::Config& config);  // an earlier run's power cut
  void WatchUps(const host::Config& config);         // the host and its UPS
  void KeepRecords(const host::Config& config);      // the page's board and the history
  void FollowPlan(const host::Config& config);       // the primary's stages
  void Notify(const host::Config& config);           // [[notify]]
  void Listen();                                     // polls and events to all of them
  void CutPowerAtSystemShutdown();                   // Windows: the primary's kill-power
  void OpenControl(const host::Config& config);      // this machine's commands
  void ServeUntilStopped();                          // reloads until a stop request
  void StopAll(const host::Config& config);          // in the order nothing is lost

  // Reads the file again and applies what changed; on any problem keeps the configuration it
  // runs on and says why. One at a time, from a signal or the local channel.
  struct ReloadOutcome {
    bool applied = false;
    std::string said;
  };
  ReloadOutcome Reload();
  ReloadOutcome Applied(host::Priority priority, const std::string& said) {
    log_.Log(priority, said);
    return {true, said};
  }
  ReloadOutcome Refused(host::Priority priority, const std::string& said) {
    log_.Log(priority, said);
    return {false, said};
  }
  // Each UPS's part in the machine's supplies now, as JSON, for check-config.
  std::string SuppliesJson() const;
  // What the commands on this machine ask over the local channel.
  std::string Answer(const std::string& request, const host::ControlPeer& peer);
  void StartSharing(const host::Config& config);
  void StartHttp(const host::Config& config);
  void OpenHistory(const host::Config& config);
  // `ups`: the UPS it is about; empty: the machine's (upsName_).
  void Remember(const std::string& event, std::uint32_t state, const std::string& message,
                std::chrono::system_clock::time_point when, const std::string& ups = {});
  // The chain this machine's own shutdown needs, checked now for a drill.
  std::vector<host::plan::Check> CheckChain() const;
  // The drill's report on the machine with the cable, and an agent's part of one.
  std::string DrillReport(const std::string& byUser,
                          const std::vector<nut::ServiceBackend::DrillAnswer>& answers,
                          const std::vector<std::string>& silent);
  host::agent::FollowerOptions::Rehearsal Rehearse();
  // The drill event (its hook, notices, record) at most once in kDrillEventEvery: a drill asked
  // for again and again, by a hostile server or anyone, costs no more than a look.
  void RaiseDrill(const std::string& message);
  static constexpr std::chrono::minutes kDrillEventEvery{5};
  std::mutex drillMutex_;
  std::optional<std::chrono::steady_clock::time_point> drillRaisedAt_;
  // Shared, not copied: the page asks for it at each look.
  std::shared_ptr<const host::Config> Current() const {
    std::lock_guard lock(configMutex_);
    return config_;
  }

  // Whether root's helper answers is heard before the host exists: kept until it can be told.
  struct Readiness {
    std::mutex mutex;
    host::Host* host = nullptr;
    std::optional<bool> unsaid;
    void Tell(bool ready);
    void Attach(host::Host* attached);
  };

  const std::string path_;
  mutable std::mutex configMutex_;  // the servers' threads read it while a reload replaces it
  std::shared_ptr<const host::Config> config_;
  std::string tlsFiles_;
  DriverLibrary* driver_;
  host::Logger& log_;
  std::unique_ptr<nut::ServiceBackend> backend_;         // none for an agent
  host::agent::FollowerSource* follower_ = nullptr;      // an agent's first, owned by the host
  std::vector<host::agent::FollowerSource*> followers_;  // each server's, in the file's order
  // Without root's rights, what only root may do is asked of root's helper.
  std::unique_ptr<host::ShutdownRequests> requests_;
  Readiness readiness_;
  std::unique_ptr<host::Host> host_;
  // The primary's: each UPS's stages, by the UPS's place in the host's units.
  std::vector<std::unique_ptr<host::plan::Coordinator>> plans_;
  host::PlanFacts PlanFacts() const;  // every UPS's plan as one
  std::optional<double> BatteryToLow(std::size_t ups) const {
    return board_->BatterySecondsToLow(ups);
  }
  std::unique_ptr<host::notify::Notifier> notifier_;
  host::HostOptions hostOptions_;  // the main thread's: a reload replaces it
  // What the history records name when no one UPS is meant: taken at the start, as ups.name is,
  // and read by any thread.
  const std::string upsName_;
  std::unique_ptr<host::StatusBoard> board_;
  // The newest records of the history at the start: what the run before measured and left.
  std::vector<host::HistoryRecord> recent_;
  std::mutex historyMutex_;  // the shutdown command's end may still be heard while it stops
  std::unique_ptr<host::HistoryWriter> history_;
  std::mutex serversMutex_;  // the page asks the NUT server for its connections
  std::unique_ptr<nut::Server> server_;
  std::unique_ptr<host::http::HttpServer> http_;
  std::mutex reloadMutex_;  // a signal's reload and the local channel's, one at a time
  std::atomic<bool> stopping_{false};
  std::unique_ptr<host::ControlServer> control_;
};

}  // namespace corvale
