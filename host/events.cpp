#include "host/events.h"

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
    case EventKind::kOverload:
      return "overload";
    case EventKind::kCommunicationLost:
      return "communication-lost";
    case EventKind::kCommunicationRestored:
      return "communication-restored";
    case EventKind::kShutdown:
      return "shutdown";
    case EventKind::kKillPower:
      return "kill-power";
  }
  return "unknown";
}

std::vector<UpsEvent> EventDeriver::Next(const Observation& observation) {
  std::vector<UpsEvent> events;
  if (observation.linkLost && !lost_) {
    events.push_back({EventKind::kCommunicationLost, 8, "no valid reply from the UPS"});
  }
  if (observation.polled == 8) {
    lost_ = observation.linkLost;
    return events;
  }
  if (lost_) {
    events.push_back(
        {EventKind::kCommunicationRestored, observation.polled, "the UPS answers again"});
  }
  lost_ = false;
  const std::uint32_t state = observation.polled;
  if (state != reportedState_) {
    static constexpr struct {
      std::uint32_t state;
      EventKind kind;
      const char* message;
    } kStates[] = {{1, EventKind::kOnline, "the UPS runs on utility power"},
                   {2, EventKind::kOnBattery, "power failure: the UPS runs on battery"},
                   {4, EventKind::kLowBattery, "the UPS's battery is low"}};
    for (const auto& entry : kStates) {
      if (entry.state == state) events.push_back({entry.kind, state, entry.message});
    }
    reportedState_ = state;
  }
  if (observation.flags.batteryFailed && !flags_.batteryFailed) {
    events.push_back({EventKind::kBatteryFailed, state, "the UPS reports a failed battery"});
  }
  if (observation.flags.overload && !flags_.overload) {
    events.push_back({EventKind::kOverload, state, "the UPS is overloaded"});
  }
  flags_ = observation.flags;
  return events;
}

void EventDispatcher::Raise(const UpsEvent& event) {
  const bool serious =
      event.kind != EventKind::kOnline && event.kind != EventKind::kCommunicationRestored;
  const Priority priority =
      event.kind == EventKind::kShutdown || event.kind == EventKind::kKillPower
          ? Priority::kCritical
      : serious ? Priority::kWarning
                : Priority::kNotice;
  if (log_ != nullptr) {
    log_->Log(priority, upsName_ + ": " + EventName(event.kind) + ": " + event.message);
  }
  for (const auto& listener : listeners_) listener(event);
  if (command_.empty()) return;
  runner_.Start(std::string("event command for ") + EventName(event.kind), command_,
                {{"CORVALE_UPS_EVENT", EventName(event.kind)},
                 {"CORVALE_UPS_NAME", upsName_},
                 {"CORVALE_UPS_STATE", std::to_string(event.state)},
                 {"CORVALE_UPS_MESSAGE", event.message}},
                CommandRunner::kHookTimeout);
}

}  // namespace corvale::host
