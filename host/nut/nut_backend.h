// The service's side of the NUT protocol: each UPS the host watches as variables under its own
// name, the users, the logins that the coordinated shutdown waits for, and the instant command,
// over the host core. Each stage of the shutdown plan follows one UPS: its FSD reaches only the
// sessions logged in to that UPS.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "host/config.h"
#include "host/host.h"
#include "host/nut/nut_session.h"

namespace corvale::nut {

struct BackendOptions {
  std::string upsName;  // the first UPS's; the host's units name the others
  std::vector<User> users;
  std::uint32_t shutdownDelay = 120;  // the first UPS's ups.delay.shutdown to begin with
  std::chrono::seconds hostsync{15};
  bool tls = false;
};

class ServiceBackend : public Backend {
 public:
  ServiceBackend(BackendOptions options, host::Logger& log);
  ~ServiceBackend() override { Stop(); }
  // Ends the background jobs; a coordinated shutdown not yet done is dropped.
  void Stop();

  // The host to serve, each of its units a UPS (the others' ups.delay.shutdown their own
  // turn-off delay to begin with); set once, before the server starts.
  void Attach(host::Host& host);
  // Whether this host can shut itself down (its root helper answers), as driver.shutdown.ready;
  // set once, before the server starts, where a helper is asked.
  void SetShutdownReady(std::function<bool()> ready) { shutdownReady_ = std::move(ready); }

  // The primary's part of a shutdown: FSD for every client, then `proceed` once the remote
  // logins are gone or hostsync has passed. Does not block.
  void CoordinateShutdown(std::function<void()> proceed);
  // The host's shutdown was abandoned (the power came back before it started): FSD is cleared.
  void CancelForcedShutdown();
  // Whether FSD is set for the clients of any UPS.
  bool ForcedShutdownSet() const;
  // The UPSes FSD is set for now: every one while this host shuts down, or those a primary set it
  // for.
  std::vector<std::string> UpsesForced() const;
  // A stage of the `ups`th UPS is due: FSD for the sessions of these users logged in to that UPS
  // only, and for their logins to it that come while its power is out.
  void ForceShutdownOf(std::size_t ups, const std::vector<std::string>& users);
  void ForceShutdownOf(const std::vector<std::string>& users) { ForceShutdownOf(0, users); }
  // The `ups`th UPS's power is back: a login to it from now on never sees a stage's FSD (a
  // machine that starts by itself, or is woken, stays up); the sessions that saw it keep it until
  // they log out or ReleaseStages.
  void PowerIsBack(std::size_t ups = 0);
  // Its power has held: the FSD of its stages ends, whoever is still logged in to it.
  void ReleaseStages(std::size_t ups = 0);
  // The sessions on the `ups`th UPS of these users that saw their stage's FSD and are still
  // logged in: the machines not down yet, which a wake-up packet must not find still running.
  std::size_t StageSessionsLeft(std::size_t ups, const std::vector<std::string>& users) const;
  std::size_t StageSessionsLeft(const std::vector<std::string>& users) const {
    return StageSessionsLeft(0, users);
  }
  // The users who see FSD of their own now, on any UPS.
  std::vector<std::string> UsersForced() const;
  // Logged in to the `ups`th UPS now: each user with the addresses of its sessions.
  std::map<std::string, std::vector<std::string>> LoggedInUsers(std::size_t ups = 0) const;
  // A machine whose session ended while FSD was set for it: its time to shut down.
  struct MachineGone {
    std::string address, user;
    double seconds = 0;  // from its FSD to its session's end
    // It said its shutdown command had started and then its side closed the connection, without
    // LOGOUT: the end of the session is the machine going down. Otherwise it logged out (an agent
    // before this word, NUT's upsmon as its service stops), left without a word, or this server
    // ended the session (its stop, a silence too long) while the machine was still up: the
    // machine may have needed longer.
    bool toClose = false;
    std::optional<double> commandStartedSeconds;  // after its FSD, when it said so
  };
  // Told of each one; set once, before the server starts.
  using MachineDown = std::function<void(const MachineGone&)>;
  void OnMachineDown(MachineDown listener) { machineDown_ = std::move(listener); }

  // Backend
  const std::vector<std::string>& UpsNames() const override { return names_; }
  std::string UpsDescription(std::size_t) const override { return "Corvale Smart UPS (serial)"; }
  std::optional<Variables> CurrentVariables(const void* session, std::size_t ups) const override;
  std::optional<User> FindUser(std::string_view name) const override;
  int NumLogins(std::size_t ups) const override;
  std::vector<std::string> LoggedInAddresses(std::size_t ups) const override;
  void Login(const void* session, std::size_t ups, const std::string& address,
             const std::string& user) override;
  void Logout(const void* session) override;
  void LoginRefused(const std::string& user, const std::string& address) override;
  void ForceShutdown(std::size_t ups, const std::string& byUser) override;
  std::string SetVariable(std::size_t ups, const std::string& name,
                          const std::string& value) override;
  void RunInstantCommand(std::size_t ups, const std::string& command, const std::string& byUser,
                         std::function<void(std::string)> done) override;
  // The first UPS's.
  std::optional<Variables> CurrentVariables(const void* session) const {
    return CurrentVariables(session, 0);
  }
  void Login(const void* session, const std::string& address, const std::string& user) {
    Login(session, 0, address, user);
  }
  // Every UPS's: the logins a coordinated shutdown waits for.
  int NumLogins() const;
  std::vector<std::string> LoggedInAddresses() const;
  bool TlsConfigured() const override { return tls_; }
  bool Drill(const std::string& byUser, std::function<void(std::string)> done) override;
  std::uint64_t DrillAsked(const void* session) override;
  void DrillAnswered(const void* session, std::uint64_t id, bool ready,
                     const std::string& text) override;
  void ShuttingDown(const void* session) override;
  void SaidLogout(const void* session) override;
  void PeerClosed(const void* session) override;

  // A logged-in agent's part of a rehearsal.
  struct DrillAnswer {
    std::string user, address;
    bool ready = false;
    std::string text;
  };
  // What a rehearsal reports, from the agents' answers (those that answered in time) and the
  // names of the agents that did not; set once, before the server starts. Without it no
  // rehearsal runs.
  using DrillReport =
      std::function<std::string(const std::string& byUser, const std::vector<DrillAnswer>& answers,
                                const std::vector<std::string>& silent)>;
  void SetDrill(DrillReport report, std::chrono::milliseconds wait) {
    drillReport_ = std::move(report);
    drillWait_ = wait;
  }

  // A reloaded configuration's users (for commands and logins from now on: a session logged in
  // stays so, but no longer has a removed user's rights), hostsync and STARTTLS; from any thread.
  void Reconfigure(std::vector<User> users, std::chrono::seconds hostsync, bool tls);
  // Runs `restart` (the NUT server stopped and started again on new settings). The logins its
  // stop ends still count, as the machines behind them, until each address logs in again or
  // `grace` has passed: a shutdown meanwhile waits for them as for any logged-in machine.
  void KeepLoginsThrough(const std::function<void()>& restart, std::chrono::seconds grace);

 private:
  void Work();
  void MarkForcedShutdown();  // FSD from now, and since when

  BackendOptions options_;
  host::Logger& log_;
  host::Host* host_ = nullptr;
  std::vector<std::string> names_;  // of the UPSes, in the host's order
  std::function<bool()> shutdownReady_;
  std::atomic<bool> fsd_{false};
  std::optional<std::chrono::steady_clock::time_point> fsdSince_;  // under mutex_
  // The UPSes a primary set FSD for (by their place), and since when; under mutex_.
  std::map<std::size_t, std::chrono::steady_clock::time_point> upsFsdSince_;
  MachineDown machineDown_;
  std::atomic<bool> tls_;
  std::vector<std::uint32_t> shutdownDelays_;  // each UPS's, under mutex_
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  struct LoggedIn {
    std::string address, user;
    std::size_t ups = 0;
    bool saidLogout = false, peerClosed = false;
    std::optional<std::chrono::steady_clock::time_point> shuttingDownSince;  // its word
  };
  std::map<const void*, LoggedIn> logins_;
  // Each UPS's users of its stages that went, from when: their logins to it see FSD while its
  // power is out.
  std::map<std::size_t, std::map<std::string, std::chrono::steady_clock::time_point>> forcedUsers_;
  std::set<std::size_t> powerBack_;  // the UPSes whose power came back since their stages went
  // The sessions that saw a stage's FSD, until they log out; `released` once the power of their
  // UPS has held.
  struct StageSession {
    std::string user;
    std::chrono::steady_clock::time_point since;
    bool released = false;
    std::size_t ups = 0;
  };
  std::map<const void*, StageSession> stageSessions_;
  // The rehearsal under way (its number, the answers), and the sessions of this project's agents:
  // those that ask for rehearsals.
  DrillReport drillReport_;
  std::chrono::milliseconds drillWait_{15000};
  std::uint64_t drillId_ = 0;
  std::uint64_t drillsRun_;
  std::map<const void*, std::string> agents_;  // session: user
  std::map<const void*, DrillAnswer> drillAnswers_;
  std::thread driller_;
  // Logins a restart of the server ended: the address, the UPS, and until when it still counts.
  // Pruned as it is read, from const readers too.
  struct Carried {
    std::string address;
    std::size_t ups = 0;
    std::chrono::steady_clock::time_point until;
  };
  mutable std::vector<Carried> carried_;
  std::optional<std::chrono::seconds> carrying_;  // while a restart runs: for how long
  // Under mutex_: the carried logins that no longer count go; the logins that count now.
  void ForgetExpiredCarried(std::chrono::steady_clock::time_point now) const;
  std::size_t CountedLogins(std::chrono::steady_clock::time_point now) const;
  std::deque<std::function<void()>> work_;  // jobs on the serial line, in order
  bool stopping_ = false;
  std::thread worker_;
  std::thread coordinator_;  // the hostsync wait
  // Failed logins, logged at most every kRefusalLogEvery with a count of the unlogged ones.
  std::chrono::steady_clock::time_point refusalLoggedAt_{};
  int refusalsUnlogged_ = 0;
};

// Users as the session knows them, from the configuration.
std::vector<User> UsersFrom(const std::vector<host::Config::User>& users);

}  // namespace corvale::nut
