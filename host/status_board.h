// What the service knows, gathered for those who only look: the HTTP endpoint's metrics, JSON
// and page. Fed by the host's polls and events; read as a snapshot from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/events.h"
#include "host/history.h"
#include "host/notify/facts.h"
#include "host/supervisor.h"

namespace corvale::host {

// What the NUT server and its sessions know, asked for at each snapshot.
struct SharingFacts {
  std::size_t connections = 0;
  std::vector<std::string> loggedIn;  // the addresses of upsmon logins
  bool forcedShutdown = false;        // FSD
  // The UPSes FSD is set for, where the server says (it has several); else every one, with
  // `forcedShutdown`.
  std::optional<std::vector<std::string>> forcedUpses;
};

// An agent's connection to the NUT server it follows the UPS on.
struct FollowingFacts {
  std::string server;
  bool connected = false;  // the last reading reached the server with current data
  std::string problem;     // why not, in words
};

// An agent following several servers is connected while it reads current data from each of
// them; the servers are listed, and each problem names its server.
FollowingFacts AllFollowed(const std::vector<FollowingFacts>& each);

// The shutdown plan as it stands: each stage, its machines (logged in or missing, their last
// measured time to shut down), and what the plan needs of the battery.
struct PlanFacts {
  struct Machine {
    std::string user;
    std::vector<std::string> addresses;  // logged in from; empty: missing
    // Its slowest recent time to shut down, and whether that was measured to its connection's
    // close as it went down (or only to its logout).
    std::optional<double> lastShutdownSeconds;
    bool shutdownMeasuredToClose = false;
  };
  struct Stage {
    std::string name;
    std::string when;                           // in words
    std::optional<std::uint32_t> afterSeconds;  // for a timed stage
    bool gone = false;                          // in this power failure (or not woken yet)
    std::vector<Machine> machines;
    std::vector<std::string> wake;
    std::string ups = {};  // whose power it follows
  };
  std::vector<Stage> stages;
  std::vector<Machine> withThisMachine;  // logged in, in no stage: they go last, with this one
  std::optional<double> needsSeconds;    // of battery, to carry the plan through: the first's
  bool batteryWeak = false;              // any UPS's
  // Each UPS's stages against its own battery.
  struct Ups {
    std::string ups;
    std::optional<double> needsSeconds;  // none: no stage follows it
    bool batteryWeak = false;
  };
  std::vector<Ups> upses;
};

// One UPS as those who look see it.
struct UpsStatus {
  using SystemTime = std::chrono::system_clock::time_point;
  std::string ups;
  std::uint32_t state = 8;  // the last poll's: 1, 2, 4, or 8 for no valid reply
  bool communicating = false;
  UpsFlags flags;
  std::string statusText;
  std::optional<SystemTime> onBatterySince;
  // The last power failure's time from on battery to low battery (this run's, or the history's).
  std::optional<double> batterySecondsToLow;
  std::deque<BatteryMeasure> batteryMeasures;  // the newest last, at most kBatteryMeasures
  double onBatterySecondsTotal = 0;            // this run, the period in progress included
  std::uint64_t powerFailures = 0;
  std::map<std::string, std::uint64_t> eventsByKind;  // every kind, 0 included
  std::uint64_t pollsValid = 0, pollsFailed = 0;
  std::optional<SystemTime> lastValidPoll;
};

// The machine's: the first UPS's status as of old (what clients of one UPS read), each UPS's, and
// what belongs to the machine.
struct StatusSnapshot : UpsStatus {
  SystemTime now, startedAt;
  std::vector<UpsStatus> upses;  // each UPS in the host's order; empty: the one above alone
  bool shutdownPending = false;
  bool shutdownReady = true;     // false while the root helper does not answer
  std::string shutdownWaitsFor;  // in words, while pending
  SharingFacts sharing;
  std::optional<FollowingFacts> following;  // an agent's
  std::optional<PlanFacts> plan;            // a primary's
  std::vector<notify::NotifyFacts> notify;  // each [[notify]] entry
  std::uint64_t httpRequests = 0;           // answered by the HTTP endpoint, this one included
  std::deque<HistoryRecord> recentEvents;   // the newest last
};

class StatusBoard {
 public:
  static constexpr std::size_t kRecentEvents = 20;
  static constexpr std::size_t kBatteryMeasures = 48;
  using Shutdown = std::function<std::pair<bool, std::string>()>;  // pending, waits for what

  explicit StatusBoard(std::string ups) : StatusBoard(std::vector<std::string>{std::move(ups)}) {}
  // Each UPS the host watches, in its order; the service's own events count in the first's.
  explicit StatusBoard(std::vector<std::string> upses);
  void SetSharing(std::function<SharingFacts()> sharing);
  void SetShutdown(Shutdown shutdown);
  void SetShutdownReady(std::function<bool()> ready);
  void SetFollowing(std::function<FollowingFacts()> following);
  void SetPlan(std::function<PlanFacts()> plan);
  void SetNotifications(std::function<std::vector<notify::NotifyFacts>()> notifications);
  // The measures the history holds of the `index`th UPS, oldest first, before this run measures
  // any.
  void SetBatteryMeasures(const std::vector<BatteryMeasure>& measures) {
    SetBatteryMeasures(0, measures);
  }
  void SetBatteryMeasures(std::size_t index, const std::vector<BatteryMeasure>& measures);
  // The `index`th UPS's last time from on battery to low battery, this run's or the history's.
  std::optional<double> BatterySecondsToLow(std::size_t index) const;

  void OnPoll(const Observation& observation) { OnPoll(0, observation); }
  // The poll of the `index`th UPS.
  void OnPoll(std::size_t index, const Observation& observation);
  void OnEvent(const UpsEvent& event, std::chrono::system_clock::time_point when);

  StatusSnapshot Snapshot() const;

 private:
  mutable std::mutex mutex_;
  StatusSnapshot snapshot_;  // its `upses` each UPS's
  struct Watch {
    bool lowThisFailure = false;
    // A power failure already under way when the service started: its start is unknown here.
    bool sawOnline = false, startUnknown = false;
  };
  std::vector<Watch> watches_;  // each UPS's
  std::function<SharingFacts()> sharing_;
  Shutdown shutdown_;
  std::function<bool()> shutdownReady_;
  std::function<FollowingFacts()> following_;
  std::function<PlanFacts()> plan_;
  std::function<std::vector<notify::NotifyFacts>()> notifications_;
};

}  // namespace corvale::host
