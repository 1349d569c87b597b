#include "cli/events.h"

#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace corvale {

namespace {

std::string Timestamp(std::chrono::system_clock::time_point when, bool iso) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  char text[40];
  // The shared buffer of gmtime/localtime is only used under the log's lock.
  if (iso) {
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", std::gmtime(&seconds));
  } else {
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&seconds));
  }
  char withMillis[48];
  std::snprintf(withMillis, sizeof withMillis, "%s.%03d%s", text, static_cast<int>(millis),
                iso ? "Z" : "");
  return withMillis;
}

bool IsNumber(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

void EventLog::Report(const Event& event) {
  std::lock_guard lock(mutex_);
  std::string line;
  if (json_) {
    nlohmann::json object = {{"time", Timestamp(event.when, true)}, {"event", event.kind}};
    if (event.state) {
      object["state"] = *event.state;
      object["name"] = StateName(*event.state);
    }
    if (!event.values.empty()) {
      nlohmann::json values = nlohmann::json::object();
      for (const auto& [name, value] : event.values) {
        if (IsNumber(value)) {
          values[name] = std::stoul(value);
        } else {
          values[name] = value;
        }
      }
      object["values"] = values;
    }
    if (!event.message.empty()) object["message"] = event.message;
    if (!event.source.empty()) object["source"] = event.source;
    if (!event.armed.empty()) object["shutdown_armed"] = event.armed;
    if (!event.ups.empty()) object["ups"] = event.ups;
    line = object.dump();
  } else {
    line = Timestamp(event.when, false) + "  ";
    char label[24];
    std::snprintf(label, sizeof label, "%-18s",
                  event.state ? StateName(*event.state) : event.kind.c_str());
    line += label;
    if (!event.message.empty()) line += event.message;
    for (const auto& [name, value] : event.values) {
      line += " " + name + "=" + (IsNumber(value) ? value : "\"" + value + "\"");
    }
    if (!event.source.empty()) line += " (from the " + event.source + ")";
    if (!event.armed.empty()) line += "; SHUTDOWN ARMED: " + event.armed;
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace corvale
