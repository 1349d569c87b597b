// `corvale-ups history`: the power events the service recorded, with or without it running.
#include "host/history.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "cli/checked_answer.h"
#include "cli/commands.h"
#include "host/config.h"
#include "host/events.h"
#include "host/utf8_path.h"

namespace corvale {

namespace {

std::string Duration(double seconds) {
  const long long whole = static_cast<long long>(seconds + 0.5);
  const long long hours = whole / 3600, minutes = whole % 3600 / 60, rest = whole % 60;
  std::string text;
  if (hours > 0) text += std::to_string(hours) + " h ";
  if (hours > 0 || minutes > 0) text += std::to_string(minutes) + " min ";
  return text + std::to_string(rest) + " s";
}

// Each power failure that ran the battery low, with its time to low battery against the first one
// listed: a battery that wears shows as a shrinking time.
int ShowBattery(const std::vector<host::BatteryMeasure>& measures, bool json,
                const std::string& file) {
  for (const auto& measure : measures) {
    if (json) {
      std::printf("%s\n", nlohmann::json({{"time", host::UtcTimestamp(measure.time)},
                                          {"seconds_to_low", measure.secondsToLow}})
                              .dump()
                              .c_str());
      continue;
    }
    std::string line = host::UtcTimestamp(measure.time) + "  low battery after " +
                       Duration(measure.secondsToLow) + " on battery";
    const double first = measures.front().secondsToLow;
    if (&measure != &measures.front() && first > 0) {
      const long change = std::lround(100.0 * (measure.secondsToLow - first) / first);
      line += " (" + std::string(change > 0 ? "+" : "") + std::to_string(change) +
              " % against the first)";
    }
    std::printf("%s\n", line.c_str());
  }
  if (measures.empty() && !json) {
    std::printf("no power failure in %s ran the battery low: nothing measured yet\n", file.c_str());
  }
  return kExitOk;
}

}  // namespace

int RunHistory(const HistoryOptions& options) {
  std::string file = options.file;
  if (file.empty()) {
    const auto loaded = host::LoadConfig(options.configPath);
    if (!loaded.problems.empty()) {
      return Fail(kExitUsage, host::Describe(options.configPath, loaded.problems.front()) +
                                  " (or name the history with --file)");
    }
    file = loaded.config.events.history;
    if (file.empty()) return Fail(kExitUsage, "events.history is empty: no history is kept");
  }
  std::optional<std::chrono::system_clock::time_point> since;
  if (!options.since.empty()) {
    since = host::ParseTimestamp(options.since);
    if (!since) {
      return Fail(kExitUsage,
                  "--since takes a time such as 2026-12-08T12:00:00Z, not " + options.since);
    }
  }
  // An empty answer from a file that is not there would read as "nothing happened".
  std::error_code error;
  const bool current = std::filesystem::exists(host::PathFromUtf8(file), error);
  if (!current && !std::filesystem::exists(host::PathFromUtf8(file + ".1"), error)) {
    return Fail(kExitFailure, "there is no history at " + file +
                                  " (the service has written none yet, or it keeps it elsewhere: "
                                  "see events.history)");
  }
  if (current && !std::ifstream(host::PathFromUtf8(file))) {
    return Fail(kExitFailure, "cannot read the history at " + file + ": " + std::strerror(errno));
  }
  const auto records = host::ReadHistory(file, since);
  if (options.battery) return ShowBattery(host::BatteryMeasures(records), options.json, file);
  // With the records of several UPSes, each line says which one it is about; a single UPS's
  // history reads as it always has.
  std::set<std::string> upses;
  for (const auto& record : records) {
    if (!record.ups.empty()) upses.insert(record.ups);
  }
  for (const auto& record : records) {
    if (options.json) {
      std::printf("%s\n", host::HistoryLine(record).c_str());
      continue;
    }
    const std::string about = upses.size() > 1 && !record.ups.empty() ? record.ups + ": " : "";
    std::string line =
        host::UtcTimestamp(record.time) + "  " + record.event + "  " + about + record.message;
    if (record.onBatterySeconds) {
      line += " (on battery for " + Duration(*record.onBatterySeconds) + ")";
    }
    // Whoever took the service's account may have written the file: no byte of it moves the
    // cursor or retitles the reader's terminal.
    std::printf("%s\n", Printable(line).c_str());
  }
  if (records.empty() && !options.json) std::printf("no events recorded in %s\n", file.c_str());
  return kExitOk;
}

}  // namespace corvale
