#include "host/plan/plan_checks.h"

#include <algorithm>

#include "host/history.h"
#include "host/plan/coordinator.h"

namespace corvale::host::plan {

void CheckPlanStart(const Config& config, StartChecks& checks) {
  if (config.stages.empty()) return;
  if (std::all_of(config.network.listen.begin(), config.network.listen.end(),
                  [](const std::string& address) {
                    return address.starts_with("127.") || address.starts_with("[::1]");
                  })) {
    checks.warnings.push_back(
        "[[stage]]: network.listen serves this machine only (loopback): the other machines "
        "cannot follow the plan unless they are guests reaching it there; serve the LAN");
  }
  if (config.events.history.empty()) return;
  // The last outage that ran each UPS's battery low says whether it carries that UPS's stages.
  constexpr std::size_t kRecordsSearched = 1000;
  const auto recent = ReadRecentHistory(config.events.history, std::nullopt, kRecordsSearched);
  const auto times = ShutdownTimes(recent);
  for (std::size_t ups = 0; ups < config.upses.size(); ++ups) {
    if (StagesOf(config, ups).empty()) continue;
    std::vector<HistoryRecord> its;
    for (const auto& record : recent) {
      if (RecordOf(config, ups, record)) its.push_back(record);
    }
    const auto measures = BatteryMeasures(its);
    const double needs = BatteryNeeds(config, times, ups);
    if (measures.empty() || measures.back().secondsToLow >= needs) continue;
    const std::string battery = config.upses.size() > 1
                                    ? "the battery of the UPS " + config.UnitName(config.upses[ups])
                                    : std::string("the battery");
    checks.warnings.push_back(battery + " last ran low after " +
                              std::to_string(static_cast<long>(measures.back().secondsToLow)) +
                              " s on battery, but the shutdown plan needs " +
                              std::to_string(static_cast<long>(needs)) +
                              " s (its latest stage, the slowest machine's shutdown and " +
                              std::to_string(static_cast<long>(kBatteryMarginSeconds)) +
                              " s to spare): let the stages go earlier, or replace the battery");
  }
}

}  // namespace corvale::host::plan
