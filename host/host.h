// The host: the poll loop, the events it gives, and the shutdown policy, wired together. The
// front-ends (the service, the monitor, the demo) only choose the options and listen.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "host/command_runner.h"
#include "host/driver_library.h"
#include "host/events.h"
#include "host/log.h"
#include "host/policy.h"
#include "host/shutdown.h"
#include "host/supervisor.h"
#include "host/unit.h"

namespace corvale::host {

struct HostOptions {
  std::string name = "corvale";
  Setup setup;
  std::string shutdownCommand;  // empty: the system's own call, where there is `systemCall`
  std::chrono::seconds onBatteryLimit{0};
  std::string flagFile;      // written when the host decides to shut down; empty: none
  std::string flagContents;  // what kill-power needs to know, written into the flag
  // Where set, what the flag says instead, given the UPSes (their indices) ordered off.
  std::function<std::string(const std::vector<std::size_t>& orderedOff)> flagText;
  std::string eventsCommand;
  bool logEvents = true;  // false where a front-end prints the events itself
  // Orders the UPS off once the shutdown command has ended with status 0, with this delay (the
  // monitor's --turn-off-delay). The service never does: its kill-power runs after the file
  // systems are unmounted.
  std::optional<std::uint32_t> turnOffAfterShutdown;
  // Runs between the decision and the shutdown command, e.g. to let other machines on the UPS
  // shut down first; calls `proceed` when done, from any thread. Must not block.
  std::function<void(std::function<void()> proceed)> beforeShutdown;
  std::function<void()> cancelBeforeShutdown;  // the shutdown was abandoned
  // The system's own call where the command is empty, and when it keeps failing; none: the host
  // only reports (the monitor).
  // `notice` says what else it did (a pending shutdown aborted), for the log.
  std::function<bool(const std::string& reason, std::string* error, std::string* notice)>
      systemCall;
  // Where this process does not do them itself (a service without root's rights asks a root
  // helper; the demo only pretends), what writes and removes the flag, runs the shutdown command
  // and makes the system's own call.
  struct Delegated {
    std::function<void()> writeFlag;
    std::function<void()> removeFlag;
    using Ended = std::function<void(const std::optional<ExitStatus>&)>;
    std::function<void(Ended)> runCommand;
    std::function<void(Ended)> systemCall;
  };
  std::optional<Delegated> delegated;
  SupervisorTiming timing;
  ShutdownTiming shutdownTiming;
  std::chrono::milliseconds hookTimeout = EventDispatcher::kHookTimeout;
  // A shutdown command still running after this is ended, and counts as failed.
  std::chrono::milliseconds shutdownCommandTimeout = kShutdownCommandTimeLimit;
  std::size_t mostHooksRunning = 16;
  // What to check when the UPS never answers; empty: its serial cable.
  std::string whereToLook;
  // What the state is read from, in words; empty: "the UPS".
  std::string sourceName;
  // The fewest power supplies fed by a UPS that is well this machine runs on; below, it shuts
  // down.
  std::uint32_t minSupplies = 1;
  // Each UPS's settings that a reload may change, in the host's order; empty: `setup` and
  // `onBatteryLimit` above are the one UPS's.
  struct UnitSettings {
    Setup setup;
    std::chrono::seconds onBatteryLimit{0};
    friend bool operator==(const UnitSettings&, const UnitSettings&) = default;
  };
  std::vector<UnitSettings> units;
};

class Host {
 public:
  // One UPS, on the serial port of `options.setup` through `driver`.
  Host(DriverLibrary& driver, HostOptions options, Logger& log);
  // One UPS whose observations come from elsewhere (an agent's NUT server): nothing here can
  // order it off.
  using SourceMaker = Unit::SourceMaker;
  Host(const SourceMaker& makeSource, HostOptions options, Logger& log);
  // Several UPSes (or one listed as such), each with its own source.
  struct UnitSpec {
    UnitOptions options;
    SourceMaker makeSource;
  };
  Host(std::vector<UnitSpec> units, const HostOptions& options, Logger& log);
  ~Host();  // stops and joins

  void OnEvent(EventDispatcher::Listener listener) { dispatcher_.AddListener(std::move(listener)); }
  // Each poll of each UPS, on that UPS's thread.
  using PollListener = std::function<void(const Unit& unit, const Observation& observation)>;
  void OnPoll(PollListener listener) { pollListener_ = std::move(listener); }

  void Start();  // each UPS's poll loop on a thread of its own
  void Stop();   // within the exchanges in progress

  const std::vector<std::unique_ptr<Unit>>& Units() const { return units_; }
  // The first UPS's latest observation.
  std::optional<Observation> Latest() const { return units_.front()->Latest(); }
  ShutdownSequence::Stage ShutdownStage() const { return shutdown_.CurrentStage(); }

  // A primary's FSD for the UPS `unit`: it no longer counts as feeding this machine (never again
  // while the service runs), and the host shuts down for `reason` when too few supplies are left
  // (the power's return does not end that); from any thread.
  void ForceShutdown(const Unit& unit, const std::string& reason);
  void ShutDownNow(const std::string& reason) { ForceShutdown(*units_.front(), reason); }
  // What the machine's supplies are now.
  SupplyFacts Supplies() const { return policy_.Facts(); }
  // Orders the (first) UPS off after `delay` seconds and raises kill-power; true when
  // acknowledged. An agent has no line to the UPS: false.
  bool OrderTurnOff(std::uint32_t delay, const std::string& why) {
    return OrderTurnOff(*units_.front(), delay, why);
  }
  bool OrderTurnOff(Unit& unit, std::uint32_t delay, const std::string& why);
  // The UPSes (their indices) the shutdown under way orders off once this machine is down: each
  // that fed it and failed; none while no shutdown is under way.
  std::vector<std::size_t> OrderedOff() const;
  // Orders each of them off with its own delay; true when each acknowledged.
  bool TurnOffOrdered(const std::string& why);
  // Raises shutdown-ready or shutdown-unready: whether the root helper answers; from any thread.
  void ReportShutdownReadiness(bool ready);
  // Raises an event of the service's own (a drill, the battery's health); from any thread.
  void Raise(EventKind kind, const std::string& message);
  // Takes a reloaded configuration's setup (a new port restarts the driver), shutdown command,
  // timing, time-on-battery limit, flag and event hook, keeping what the host knows of the UPS.
  // False, changing nothing, while a shutdown is under way.
  bool Reconfigure(const HostOptions& next);

 private:
  void Observe(Unit& unit, const Observation& observation);
  // Under decideMutex_: the policy's verdict on the UPS's latest observation, acted on; `poll`
  // when it is a fresh poll (not one judged again after an FSD).
  void Decide(const Unit& unit, const Observation& observation, bool poll);
  ShutdownSteps Steps();
  std::uint32_t State() const { return units_.front()->State(); }

  // A decision to shut down and a reload never cross: the reload waits, or finds it under way.
  std::mutex decideMutex_;
  // The options a reload changes and the UPSes ordered off, read by the shutdown's steps.
  mutable std::mutex settingsMutex_;
  HostOptions options_;
  std::vector<std::size_t> orderedOff_;
  Logger& log_;
  CommandRunner hooks_;           // bounded: hooks that hang cannot hold up anything else
  CommandRunner shutdownRunner_;  // the shutdown command alone, never refused
  EventDispatcher dispatcher_;
  ShutdownPolicy policy_;
  ShutdownSequence shutdown_;
  PollListener pollListener_;
  std::vector<std::unique_ptr<Unit>> units_;
};

// Writes the flag file that tells kill-power to order the UPS off, in a folder only root may
// write and never through a link; false with the reason logged.
bool WriteFlagFile(const std::string& path, const std::string& contents, Logger& log);
// Removes it (a link or anything else at its path too, never what a link names), and a pending
// flag beside it.
void RemoveFlagFile(const std::string& path);
// Where root keeps the flag the unprivileged service asked for until it carries out that
// service's shutdown: beside the flag at `path`, which kill-power never reads.
std::string PendingFlagFile(const std::string& path);
// Makes the pending flag beside `path` the flag, in one rename in root's folder; false when there
// is none (nothing asked for one since the last shutdown) or it failed (logged).
bool ArmPendingFlag(const std::string& path, Logger& log);

}  // namespace corvale::host
