// What happened to the UPS, as events with fixed names: derived from successive observations,
// logged once each, and handed to the user's event command and any other listener.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "host/command_runner.h"
#include "host/log.h"
#include "host/supervisor.h"

namespace corvale::host {

// Every condition has an event when it starts and one when it ends.
enum class EventKind {
  kOnline,
  kOnBattery,
  kLowBattery,
  kBatteryFailed,
  kBatteryOk,
  kOverload,
  kOverloadEnded,
  kSystemFailed,
  kSystemOk,
  kCommunicationLost,
  kCommunicationRestored,
  kShutdown,
  kShutdownFailed,
  kShutdownAbandoned,
  kKillPower,
  // Whether the root helper answers (without it no shutdown happens), when the service runs
  // without root's rights.
  kShutdownUnready,
  kShutdownReady,
  // A rehearsal of the shutdown: hooks see CORVALE_UPS_DRILL=1 and may try their notices.
  kDrill,
  // The battery's last measured time to low battery is shorter than the shutdown plan needs.
  kBatteryWeak,
  kBatteryWeakEnded,
  // Where several UPSes feed the machine: fewer of its power supplies are fed by a UPS that is
  // well than it runs on, and enough again.
  kSuppliesLow,
  kSuppliesOk,
};
constexpr EventKind kLastEventKind = EventKind::kSuppliesOk;
// "online", "on-battery", ..., "kill-power": the names scripts see.
const char* EventName(EventKind kind);
// The syslog priority a person would give it: 2 critical to 5 notice.
Priority EventPriority(EventKind kind);
// "2026-12-08T12:00:00Z"
std::string UtcTimestamp(std::chrono::system_clock::time_point when);

struct UpsEvent {
  UpsEvent(EventKind kind_, std::uint32_t state_ = 0, std::string message_ = {},
           std::string ups_ = {})
      : kind(kind_), state(state_), message(std::move(message_)), ups(std::move(ups_)) {}
  EventKind kind;
  std::uint32_t state = 0;  // the driver's state when it happened (1, 2, 4, 8)
  std::string message;
  std::string ups;  // the UPS it is about; empty: the dispatcher's own
};

// Turns observations into events: each state a poll returns is reported once, a failed poll only
// once communication counts as lost. A power failure that arrives with a low battery is reported
// as on-battery, then low-battery.
class EventDeriver {
 public:
  std::vector<UpsEvent> Next(const Observation& observation);
  // What to check when the UPS never answered: the serial cable, or an agent's server.
  void SetWhereToLook(std::string text) { whereToLook_ = std::move(text); }
  // What the state is read from, in words ("the UPS", "the NUT server HOST").
  void SetSourceName(std::string name) { sourceName_ = std::move(name); }

 private:
  std::string whereToLook_ = "is it on, and is its serial cable on ups.port?";
  std::string sourceName_ = "the UPS";
  std::uint32_t reportedState_ = 0;
  UpsFlags flags_;
  bool lost_ = false;
};

// Logs each event and runs the event command for it in the background.
class EventDispatcher {
 public:
  using Listener = std::function<void(const UpsEvent&)>;
  // `log` may be null where the listeners show the events.
  static constexpr std::chrono::seconds kHookTimeout{120};
  EventDispatcher(std::string upsName, std::string command, Logger* log, CommandRunner& runner,
                  std::chrono::milliseconds hookTimeout = kHookTimeout)
      : upsName_(std::move(upsName)),
        command_(std::move(command)),
        log_(log),
        runner_(runner),
        hookTimeout_(hookTimeout) {}
  void AddListener(Listener listener) { listeners_.push_back(std::move(listener)); }
  void Raise(const UpsEvent& event);
  // The hook for the events raised from now on; from any thread.
  void SetCommand(std::string command);

 private:
  std::string upsName_;
  mutable std::mutex commandMutex_;
  std::string command_;
  Logger* log_;
  CommandRunner& runner_;
  std::chrono::milliseconds hookTimeout_;
  std::atomic<std::uint64_t> sequence_{0};
  std::vector<Listener> listeners_;
};

}  // namespace corvale::host
