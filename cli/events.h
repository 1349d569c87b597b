// What the host tool reports: one line per event for people, or one JSON object per line.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/driver_library.h"

namespace corvale {

struct Event {
  std::chrono::system_clock::time_point when = std::chrono::system_clock::now();
  std::string kind;  // "state", or an event's name: "shutdown", "kill-power", "simulator", "stop"
  std::optional<std::uint32_t> state;
  PublishedList values;  // the published status values, in the order they are written
  std::string message;
  std::string source;  // where a state was read: "service" or "port"; empty: said elsewhere
  std::string armed;   // a shutdown under way or the power cut armed, in words; empty: none
  std::string ups;     // the UPS it is about, where the machine watches several; empty: the one
};

inline Event StateEvent(std::uint32_t state, PublishedList values) {
  Event event;
  event.kind = "state";
  event.state = state;
  event.values = std::move(values);
  return event;
}

inline Event Note(std::string kind, std::string message) {
  Event event;
  event.kind = std::move(kind);
  event.message = std::move(message);
  return event;
}

// Prints each event as it comes, and keeps none: a monitor runs for years.
class EventLog {
 public:
  explicit EventLog(bool json) : json_(json) {}
  void Report(const Event& event);

 private:
  bool json_;
  std::mutex mutex_;
};

}  // namespace corvale
