// The host: the poll loop, the events it gives, and the shutdown policy, wired together. The
// front-ends (the service, the monitor, the demo) only choose the options and listen.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "host/command_runner.h"
#include "host/driver_library.h"
#include "host/events.h"
#include "host/log.h"
#include "host/policy.h"
#include "host/supervisor.h"

namespace corvale::host {

struct HostOptions {
  std::string name = "corvale";
  Setup setup;
  std::string shutdownCommand;  // empty: none, or the system's own call with `shutDownSystem`
  bool shutDownSystem = false;
  std::chrono::seconds onBatteryLimit{0};
  std::string flagFile;  // written when the host decides to shut down; empty: none
  std::string eventsCommand;
  bool logEvents = true;  // false where a front-end prints the events itself
  // Orders the UPS off once the shutdown command has ended, with this delay (the monitor's
  // --turn-off-delay). The service never does: its kill-power runs after the file systems are
  // unmounted.
  std::optional<std::uint32_t> turnOffAfterShutdown;
  // Runs between the decision and the shutdown command, e.g. to let other machines on the UPS
  // shut down first; calls `proceed` when done, from any thread. Must not block.
  std::function<void(std::function<void()> proceed)> beforeShutdown;
  SupervisorTiming timing;
};

class Host {
 public:
  Host(DriverLibrary& driver, HostOptions options, Logger& log);
  ~Host();  // stops and joins

  void OnEvent(EventDispatcher::Listener listener) { dispatcher_.AddListener(std::move(listener)); }
  void OnPoll(Supervisor::Listener listener) { pollListener_ = std::move(listener); }

  void Start();  // the poll loop on its own thread
  void Stop();   // within the exchange in progress

  std::optional<Observation> Latest() const { return supervisor_.Latest(); }

  // Shuts the host down for `reason` unless that has begun already; from any thread.
  void ShutDownNow(const std::string& reason);
  // Orders the UPS off after `delay` seconds and raises kill-power; true when acknowledged.
  bool OrderTurnOff(std::uint32_t delay, const std::string& why);

 private:
  void Observe(const Observation& observation);
  void ShutDown(const std::string& reason, std::uint32_t state);
  void RunShutdownCommand();

  DriverLibrary& driver_;
  HostOptions options_;
  Logger& log_;
  CommandRunner runner_;
  EventDispatcher dispatcher_;
  EventDeriver deriver_;
  ShutdownPolicy policy_;
  Supervisor::Listener pollListener_;
  std::atomic<bool> shuttingDown_{false};
  Supervisor supervisor_;
  std::thread poller_;
};

// Writes the flag file that tells kill-power to order the UPS off; false with the reason logged.
bool WriteFlagFile(const std::string& path, Logger& log);

}  // namespace corvale::host
