#include "host/events.h"

#include <cstdio>

namespace corvale::host {

const char* EventName(EventKind kind) {
  switch (kind) {
    case EventKind::kOnline:
      return "online";
    case EventKind::kOnBattery:
      return "on-battery";
    case EventKind::kLowBattery:
      return "low-battery";
    case EventKind::kBatteryFailed:
      return "battery-failed";
    case EventKind::kBatteryOk:
      return "battery-ok";
    case EventKind::kOverload:
      return "overload";
    case EventKind::kOverloadEnded:
      return "overload-ended";
    case EventKind::kSystemFailed:
      return "system-failed";
    case EventKind::kSystemOk:
      return "system-ok";
    case EventKind::kCommunicationLost:
      return "communication-lost";
    case EventKind::kCommunicationRestored:
      return "communication-restored";
    case EventKind::kShutdown:
      return "shutdown";
    case EventKind::kShutdownFailed:
      return "shutdown-failed";
    case EventKind::kShutdownAbandoned:
      return "shutdown-abandoned";
    case EventKind::kKillPower:
      return "kill-power";
    case EventKind::kShutdownUnready:
      return "shutdown-unready";
    case EventKind::kShutdownReady:
      return "shutdown-ready";
    case EventKind::kDrill:
      return "drill";
    case EventKind::kBatteryWeak:
      return "battery-weak";
    case EventKind::kBatteryWeakEnded:
      return "battery-weak-ended";
    case EventKind::kSuppliesLow:
      return "supplies-low";
    case EventKind::kSuppliesOk:
      return "supplies-ok";
  }
  return "unknown";
}

Priority EventPriority(EventKind kind) {
  switch (kind) {
    case EventKind::kOnline:
    case EventKind::kCommunicationRestored:
    case EventKind::kBatteryOk:
    case EventKind::kOverloadEnded:
    case EventKind::kSystemOk:
    case EventKind::kShutdownReady:
    case EventKind::kDrill:
    case EventKind::kBatteryWeakEnded:
    case EventKind::kSuppliesOk:
      return Priority::kNotice;
    case EventKind::kOnBattery:
    case EventKind::kOverload:
    case EventKind::kShutdownAbandoned:
    case EventKind::kBatteryWeak:
      return Priority::kWarning;
    case EventKind::kBatteryFailed:
    case EventKind::kSystemFailed:
    case EventKind::kCommunicationLost:
    case EventKind::kSuppliesLow:
      return Priority::kError;
    case EventKind::kLowBattery:
    case EventKind::kShutdown:
    case EventKind::kShutdownFailed:
    case EventKind::kKillPower:
    case EventKind::kShutdownUnready:
      return Priority::kCritical;
  }
  return Priority::kWarning;
}

std::vector<UpsEvent> EventDeriver::Next(const Observation& observation) {
  std::vector<UpsEvent> events;
  // Never reaching the UPS is a set-up to check, not a link that broke.
  const bool everReached = reportedState_ != 0;
  if (observation.linkLost && !lost_) {
    events.push_back({EventKind::kCommunicationLost, 8,
                      everReached ? "no valid reply from " + sourceName_
                                  : sourceName_ + " has not answered since the service started: " +
                                        whereToLook_});
  }
  if (observation.polled == 8) {
    lost_ = observation.linkLost;
    return events;
  }
  if (lost_) {
    events.push_back({EventKind::kCommunicationRestored, observation.polled,
                      everReached ? "the UPS answers again" : "the UPS answers at last"});
  }
  lost_ = false;
  const std::uint32_t state = observation.polled;
  if (state != reportedState_) {
    const bool wasOnBattery = reportedState_ == 2 || reportedState_ == 4;
    if (state == 1) {
      events.push_back({EventKind::kOnline, state, "the UPS runs on utility power"});
    } else if (state == 2 || (state == 4 && !wasOnBattery)) {
      events.push_back({EventKind::kOnBattery, state, "power failure: the UPS runs on battery"});
    }
    if (state == 4) events.push_back({EventKind::kLowBattery, state, "the UPS's battery is low"});
    reportedState_ = state;
  }
  static constexpr struct {
    bool UpsFlags::*flag;
    EventKind starts, ends;
    const char *started, *ended;
  } kConditions[] = {
      {&UpsFlags::batteryFailed, EventKind::kBatteryFailed, EventKind::kBatteryOk,
       "the UPS reports a failed battery", "the UPS no longer reports a failed battery"},
      {&UpsFlags::overload, EventKind::kOverload, EventKind::kOverloadEnded,
       "the UPS is overloaded", "the UPS is no longer overloaded"},
      {&UpsFlags::systemFailed, EventKind::kSystemFailed, EventKind::kSystemOk,
       "the UPS reports a system failure", "the UPS no longer reports a system failure"},
  };
  for (const auto& condition : kConditions) {
    const bool now = observation.flags.*condition.flag, before = flags_.*condition.flag;
    if (now && !before) events.push_back({condition.starts, state, condition.started});
    if (!now && before) events.push_back({condition.ends, state, condition.ended});
  }
  flags_ = observation.flags;
  return events;
}

void EventDispatcher::Raise(const UpsEvent& event) {
  const std::string& ups = event.ups.empty() ? upsName_ : event.ups;
  if (log_ != nullptr) {
    log_->Log(EventPriority(event.kind), ups + ": " + EventName(event.kind) + ": " + event.message,
              message_id::kFirstEvent + static_cast<int>(event.kind));
  }
  for (const auto& listener : listeners_) listener(event);
  std::string command;
  {
    std::lock_guard lock(commandMutex_);
    command = command_;
  }
  if (command.empty()) return;
  // Hooks may run side by side: the number and time say which came first.
  Environment environment = {{"CORVALE_UPS_EVENT", EventName(event.kind)},
                             {"CORVALE_UPS_NAME", ups},
                             {"CORVALE_UPS_STATE", std::to_string(event.state)},
                             {"CORVALE_UPS_MESSAGE", event.message},
                             {"CORVALE_UPS_SEQUENCE", std::to_string(++sequence_)},
                             {"CORVALE_UPS_TIME", UtcTimestamp(std::chrono::system_clock::now())}};
  if (event.kind == EventKind::kDrill) environment.emplace_back("CORVALE_UPS_DRILL", "1");
  runner_.Start(std::string("event command for ") + EventName(event.kind), command, environment,
                hookTimeout_, {}, event.kind == EventKind::kDrill);
}

void EventDispatcher::SetCommand(std::string command) {
  std::lock_guard lock(commandMutex_);
  command_ = std::move(command);
}

std::string UtcTimestamp(std::chrono::system_clock::time_point when) {
  // From the calendar in <chrono>, not std::gmtime: its buffer is shared with std::localtime,
  // which the log uses on other threads.
  using namespace std::chrono;
  const auto day = floor<days>(when);
  const year_month_day date{day};
  const hh_mm_ss time{floor<seconds>(when - day)};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

}  // namespace corvale::host
