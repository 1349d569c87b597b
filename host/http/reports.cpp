#include "host/http/reports.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <tuple>

#include "host/events.h"

namespace corvale::host::http {

namespace {

// A label value: backslash, quote and line feed escaped.
std::string Label(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

double EpochSeconds(std::chrono::system_clock::time_point when) {
  return std::chrono::duration<double>(when.time_since_epoch()).count();
}

struct Flag {
  const char* name;
  bool set;
};

// Each UPS's flags; FSD where the NUT server set it for this one.
std::vector<Flag> Flags(const UpsStatus& ups, const SharingFacts& sharing) {
  const bool answering = ups.communicating && ups.lastValidPoll.has_value();
  const bool forced =
      sharing.forcedShutdown &&
      (!sharing.forcedUpses || std::find(sharing.forcedUpses->begin(), sharing.forcedUpses->end(),
                                         ups.ups) != sharing.forcedUpses->end());
  return {{"OL", answering && !ups.flags.onBattery}, {"OB", answering && ups.flags.onBattery},
          {"LB", answering && ups.flags.lowBattery}, {"RB", answering && ups.flags.batteryFailed},
          {"OVER", answering && ups.flags.overload}, {"FSD", forced}};
}

double OnBatteryNow(const UpsStatus& ups, StatusSnapshot::SystemTime now) {
  return ups.onBatterySince
             ? std::max(0.0, std::chrono::duration<double>(now - *ups.onBatterySince).count())
             : 0.0;
}

// Each UPS; the top of a snapshot made by hand (with no list) is its one.
std::vector<UpsStatus> Upses(const StatusSnapshot& snapshot) {
  if (!snapshot.upses.empty()) return snapshot.upses;
  return {static_cast<const UpsStatus&>(snapshot)};
}

}  // namespace

std::string Metrics(const StatusSnapshot& snapshot, const std::string& version) {
  // The machine's own series carry the first UPS's name, as they always have: the manual
  // promises the label on every series.
  const std::string ups = "ups=\"" + Label(snapshot.ups) + "\"";
  const auto upses = Upses(snapshot);
  std::string text;
  const auto family = [&](const char* name, const char* type, const char* help) {
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  const auto sample = [&](const char* name, const std::string& labels, const std::string& value) {
    text += std::string(name) + "{" + labels + "} " + value + "\n";
  };
  // One sample per UPS, each under its own name.
  using UpsFigure = std::function<std::string(const UpsStatus&)>;
  const auto perUps = [&](const char* name, const UpsFigure& figure) {
    for (const auto& each : upses) {
      sample(name, "ups=\"" + Label(each.ups) + "\"", figure(each));
    }
  };
  family("corvale_ups_communication_up", "gauge",
         "Whether the UPS answers (1) or communication with it is lost (0).");
  perUps("corvale_ups_communication_up",
         [](const UpsStatus& each) { return each.communicating ? "1" : "0"; });
  family("corvale_ups_state", "gauge",
         "The driver's state: 1 online, 2 on battery, 4 low battery, 8 no valid reply.");
  perUps("corvale_ups_state", [](const UpsStatus& each) { return std::to_string(each.state); });
  family("corvale_ups_status", "gauge", "Status flags of the UPS, as NUT names them (1 set).");
  for (const auto& each : upses) {
    for (const auto& flag : Flags(each, snapshot.sharing)) {
      sample("corvale_ups_status", "ups=\"" + Label(each.ups) + "\",flag=\"" + flag.name + "\"",
             flag.set ? "1" : "0");
    }
  }
  family("corvale_ups_on_battery_seconds", "gauge",
         "Seconds the UPS has been on battery in the present power failure (0 on utility).");
  perUps("corvale_ups_on_battery_seconds",
         [&](const UpsStatus& each) { return Number(OnBatteryNow(each, snapshot.now)); });
  family("corvale_ups_on_battery_seconds_total", "counter",
         "Seconds on battery since the service started.");
  perUps("corvale_ups_on_battery_seconds_total",
         [](const UpsStatus& each) { return Number(each.onBatterySecondsTotal); });
  if (std::any_of(upses.begin(), upses.end(),
                  [](const UpsStatus& each) { return each.batterySecondsToLow.has_value(); })) {
    family("corvale_ups_battery_seconds_to_low", "gauge",
           "The last power failure that ran the battery low: seconds from on battery until then.");
    for (const auto& each : upses) {
      if (!each.batterySecondsToLow) continue;
      sample("corvale_ups_battery_seconds_to_low", "ups=\"" + Label(each.ups) + "\"",
             Number(*each.batterySecondsToLow));
    }
  }
  family("corvale_ups_power_failures_total", "counter",
         "Power failures (on-battery events) since the service started.");
  perUps("corvale_ups_power_failures_total",
         [](const UpsStatus& each) { return std::to_string(each.powerFailures); });
  family("corvale_ups_events_total", "counter", "Events raised since the service started.");
  for (const auto& each : upses) {
    for (const auto& [kind, count] : each.eventsByKind) {
      sample("corvale_ups_events_total", "ups=\"" + Label(each.ups) + "\",kind=\"" + kind + "\"",
             std::to_string(count));
    }
  }
  family("corvale_ups_polls_total", "counter", "Polls of the UPS by their result.");
  for (const auto& each : upses) {
    const std::string labels = "ups=\"" + Label(each.ups) + "\"";
    sample("corvale_ups_polls_total", labels + ",result=\"valid\"",
           std::to_string(each.pollsValid));
    sample("corvale_ups_polls_total", labels + ",result=\"failed\"",
           std::to_string(each.pollsFailed));
  }
  family("corvale_ups_last_valid_poll_timestamp_seconds", "gauge",
         "When the UPS last answered, in seconds since 1970 (0: not yet).");
  perUps("corvale_ups_last_valid_poll_timestamp_seconds", [](const UpsStatus& each) {
    return Number(each.lastValidPoll ? EpochSeconds(*each.lastValidPoll) : 0.0);
  });
  family("corvale_ups_shutdown_pending", "gauge",
         "Whether this host has decided to shut down and has not yet (1).");
  sample("corvale_ups_shutdown_pending", ups, snapshot.shutdownPending ? "1" : "0");
  family("corvale_ups_shutdown_ready", "gauge",
         "Whether this host can shut itself down: the root helper answers (1).");
  sample("corvale_ups_shutdown_ready", ups, snapshot.shutdownReady ? "1" : "0");
  family("corvale_ups_nut_connections", "gauge", "Open NUT network connections.");
  sample("corvale_ups_nut_connections", ups, std::to_string(snapshot.sharing.connections));
  family("corvale_ups_nut_logins", "gauge", "NUT clients (upsmon) logged in.");
  sample("corvale_ups_nut_logins", ups, std::to_string(snapshot.sharing.loggedIn.size()));
  if (snapshot.following) {
    family("corvale_ups_agent_connected", "gauge",
           "An agent: whether it reads current data from every NUT server it follows (1).");
    sample("corvale_ups_agent_connected",
           ups + ",server=\"" + Label(snapshot.following->server) + "\"",
           snapshot.following->connected ? "1" : "0");
  }
  if (snapshot.plan) {
    // Each UPS's stages against its own battery, under its own name.
    auto planned = snapshot.plan->upses;
    if (planned.empty()) {
      planned.push_back({snapshot.ups, snapshot.plan->needsSeconds, snapshot.plan->batteryWeak});
    }
    const auto label = [](const std::string& name) { return "ups=\"" + Label(name) + "\""; };
    family("corvale_ups_battery_weak", "gauge",
           "Whether the battery last ran low sooner than the shutdown plan needs (1).");
    for (const auto& each : planned) {
      sample("corvale_ups_battery_weak", label(each.ups), each.batteryWeak ? "1" : "0");
    }
    family("corvale_ups_plan_needs_seconds", "gauge",
           "Seconds of battery the shutdown plan needs: its latest stage, the slowest machine's "
           "shutdown and a margin.");
    for (const auto& each : planned) {
      sample("corvale_ups_plan_needs_seconds", label(each.ups),
             Number(each.needsSeconds.value_or(0)));
    }
    if (!snapshot.plan->stages.empty()) {
      family("corvale_ups_stage_machines_logged_in", "gauge",
             "Machines of each stage of the shutdown plan logged in now.");
      for (const auto& stage : snapshot.plan->stages) {
        std::size_t loggedIn = 0;
        for (const auto& machine : stage.machines) loggedIn += machine.addresses.empty() ? 0 : 1;
        sample(
            "corvale_ups_stage_machines_logged_in",
            (stage.ups.empty() ? ups : label(stage.ups)) + ",stage=\"" + Label(stage.name) + "\"",
            std::to_string(loggedIn));
      }
    }
  }
  // One family per figure, one sample per [[notify]] entry.
  using Figure = std::function<std::string(const notify::NotifyFacts&)>;
  const std::tuple<const char*, const char*, const char*, Figure> perEntry[] = {
      {"corvale_ups_notices_sent_total", "counter", "Notices delivered, per [[notify]] entry.",
       [](const auto& entry) { return std::to_string(entry.sent); }},
      {"corvale_ups_notices_failed_total", "counter",
       "Tries to deliver a notice that failed (each is tried again), per entry.",
       [](const auto& entry) { return std::to_string(entry.failed); }},
      {"corvale_ups_notices_refused_total", "counter",
       "Notices given up because the receiver refused each try of them, per entry.",
       [](const auto& entry) { return std::to_string(entry.refused); }},
      {"corvale_ups_notices_queued", "gauge", "Notices waiting in the outbox, per entry.",
       [](const auto& entry) { return std::to_string(entry.queued); }},
      {"corvale_ups_notice_oldest_queued_seconds", "gauge",
       "Age of the oldest notice waiting, per entry (0: none waits).",
       [](const auto& entry) { return Number(entry.oldestQueuedSeconds.value_or(0)); }}};
  for (const auto& [name, type, help, figure] : perEntry) {
    if (snapshot.notify.empty()) break;
    family(name, type, help);
    for (const auto& entry : snapshot.notify) {
      sample(name, ups + ",notify=\"" + Label(entry.name) + "\"", figure(entry));
    }
  }
  family("corvale_ups_http_requests_total", "counter", "Requests the HTTP endpoint answered.");
  sample("corvale_ups_http_requests_total", ups, std::to_string(snapshot.httpRequests));
  family("corvale_ups_build_info", "gauge", "The service's version (always 1).");
  sample("corvale_ups_build_info", ups + ",version=\"" + Label(version) + "\"", "1");
  return text;
}

namespace {

nlohmann::json EventJson(const HistoryRecord& record) {
  nlohmann::json json = {{"time", UtcTimestamp(record.time)},
                         {"event", record.event},
                         {"state", record.state},
                         {"message", record.message}};
  if (record.onBatterySeconds) json["on_battery_seconds"] = *record.onBatterySeconds;
  if (!record.machine.empty()) json["machine"] = record.machine;
  if (record.shutdownSeconds) json["shutdown_seconds"] = *record.shutdownSeconds;
  if (!record.user.empty()) json["user"] = record.user;
  return json;
}

nlohmann::json MachineJson(const PlanFacts::Machine& machine, bool names) {
  nlohmann::json json = {
      {"logged_in", !machine.addresses.empty()},
      {"addresses", machine.addresses},
      {"last_shutdown_seconds", machine.lastShutdownSeconds
                                    ? nlohmann::json(*machine.lastShutdownSeconds)
                                    : nlohmann::json(nullptr)},
      {"shutdown_measured_to", !machine.lastShutdownSeconds      ? nlohmann::json(nullptr)
                               : machine.shutdownMeasuredToClose ? nlohmann::json("close")
                                                                 : nlohmann::json("logout")}};
  if (names) json["user"] = machine.user;
  return json;
}

// Without `names`, no NUT user and no MAC address: those who only look learn how many.
nlohmann::json PlanJson(const PlanFacts& plan, bool names) {
  nlohmann::json stages = nlohmann::json::array();
  for (const auto& stage : plan.stages) {
    nlohmann::json machines = nlohmann::json::array();
    for (const auto& machine : stage.machines) machines.push_back(MachineJson(machine, names));
    stages.push_back({{"name", stage.name},
                      {"when", stage.when},
                      {"after_seconds", stage.afterSeconds ? nlohmann::json(*stage.afterSeconds)
                                                           : nlohmann::json(nullptr)},
                      {"gone", stage.gone},
                      {"machines", machines},
                      {"woken", stage.wake.size()},
                      {"ups", stage.ups}});
    if (names) stages.back()["wake"] = stage.wake;
  }
  nlohmann::json others = nlohmann::json::array();
  for (const auto& machine : plan.withThisMachine) others.push_back(MachineJson(machine, names));
  nlohmann::json upses = nlohmann::json::array();
  for (const auto& ups : plan.upses) {
    upses.push_back({{"ups", ups.ups},
                     {"needs_seconds", ups.needsSeconds ? nlohmann::json(*ups.needsSeconds)
                                                        : nlohmann::json(nullptr)},
                     {"battery_weak", ups.batteryWeak}});
  }
  return {{"stages", stages},
          {"with_this_machine", others},
          {"needs_seconds",
           plan.needsSeconds ? nlohmann::json(*plan.needsSeconds) : nlohmann::json(nullptr)},
          {"battery_weak", plan.batteryWeak},
          {"upses", upses}};
}

std::string Dump(const nlohmann::json& json) {
  return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

namespace {

nlohmann::json FlagsJson(const UpsStatus& ups, const SharingFacts& sharing) {
  nlohmann::json flags = nlohmann::json::object();
  for (const auto& flag : Flags(ups, sharing)) flags[flag.name] = flag.set;
  return flags;
}

nlohmann::json BatteryJson(const UpsStatus& ups) {
  nlohmann::json battery = nlohmann::json::array();
  for (const auto& measure : ups.batteryMeasures) {
    battery.push_back(
        {{"time", UtcTimestamp(measure.time)}, {"seconds_to_low", measure.secondsToLow}});
  }
  return battery;
}

nlohmann::json When(const std::optional<StatusSnapshot::SystemTime>& time) {
  return time ? nlohmann::json(UtcTimestamp(*time)) : nlohmann::json(nullptr);
}

// One UPS, as each entry of `upses` shows it.
nlohmann::json UpsJson(const UpsStatus& ups, const StatusSnapshot& snapshot) {
  return {
      {"name", ups.ups},
      {"state", ups.state},
      {"state_text", StateName(ups.state)},
      {"communicating", ups.communicating},
      {"flags", FlagsJson(ups, snapshot.sharing)},
      {"status_text", ups.statusText},
      {"on_battery_since", When(ups.onBatterySince)},
      {"on_battery_seconds", OnBatteryNow(ups, snapshot.now)},
      {"on_battery_seconds_total", ups.onBatterySecondsTotal},
      {"power_failures", ups.powerFailures},
      {"battery_seconds_to_low", ups.batterySecondsToLow ? nlohmann::json(*ups.batterySecondsToLow)
                                                         : nlohmann::json(nullptr)},
      {"battery_measures", BatteryJson(ups)},
      {"last_valid_poll", When(ups.lastValidPoll)}};
}

}  // namespace

std::string StatusJson(const StatusSnapshot& snapshot, const std::string& version, bool names) {
  const nlohmann::json flags = FlagsJson(snapshot, snapshot.sharing);
  const nlohmann::json battery = BatteryJson(snapshot);
  nlohmann::json recent = nlohmann::json::array();
  for (const auto& record : snapshot.recentEvents) recent.push_back(EventJson(record));
  nlohmann::json json = {
      {"ups", snapshot.ups},
      {"version", version},
      {"time", UtcTimestamp(snapshot.now)},
      {"started", UtcTimestamp(snapshot.startedAt)},
      {"state", snapshot.state},
      {"state_text", StateName(snapshot.state)},
      {"communicating", snapshot.communicating},
      {"flags", flags},
      {"status_text", snapshot.statusText},
      {"on_battery_since",
       snapshot.onBatterySince ? nlohmann::json(UtcTimestamp(*snapshot.onBatterySince)) : nullptr},
      {"on_battery_seconds", OnBatteryNow(snapshot, snapshot.now)},
      {"on_battery_seconds_total", snapshot.onBatterySecondsTotal},
      {"power_failures", snapshot.powerFailures},
      {"battery_seconds_to_low", snapshot.batterySecondsToLow
                                     ? nlohmann::json(*snapshot.batterySecondsToLow)
                                     : nlohmann::json(nullptr)},
      {"battery_measures", battery},
      {"last_valid_poll",
       snapshot.lastValidPoll ? nlohmann::json(UtcTimestamp(*snapshot.lastValidPoll)) : nullptr},
      {"shutdown",
       {{"pending", snapshot.shutdownPending},
        {"waits_for", snapshot.shutdownWaitsFor},
        {"ready", snapshot.shutdownReady}}},
      {"nut",
       {{"connections", snapshot.sharing.connections},
        {"logins", snapshot.sharing.loggedIn},
        {"fsd", snapshot.sharing.forcedShutdown}}},
      {"recent_events", recent}};
  nlohmann::json upses = nlohmann::json::array();
  for (const auto& ups : Upses(snapshot)) upses.push_back(UpsJson(ups, snapshot));
  json["upses"] = upses;
  if (snapshot.following) {
    json["agent"] = {{"server", snapshot.following->server},
                     {"connected", snapshot.following->connected},
                     {"problem", snapshot.following->problem}};
  }
  if (snapshot.plan) json["plan"] = PlanJson(*snapshot.plan, names);
  if (!snapshot.notify.empty()) {
    nlohmann::json entries = nlohmann::json::array();
    for (const auto& entry : snapshot.notify) {
      entries.push_back({{"name", entry.name},
                         {"sent", entry.sent},
                         {"failed", entry.failed},
                         {"refused", entry.refused},
                         {"queued", entry.queued},
                         {"oldest_queued_seconds", entry.oldestQueuedSeconds
                                                       ? nlohmann::json(*entry.oldestQueuedSeconds)
                                                       : nlohmann::json(nullptr)},
                         {"problem", entry.problem}});
    }
    json["notify"] = entries;
  }
  return Dump(json);
}

std::string EventsJson(const std::vector<HistoryRecord>& records) {
  nlohmann::json array = nlohmann::json::array();
  for (const auto& record : records) array.push_back(EventJson(record));
  return Dump(array);
}

}  // namespace corvale::host::http
