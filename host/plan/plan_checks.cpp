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
  // The last outage that ran the battery low says whether it carries the plan.
  constexpr std::size_t kRecordsSearched = 1000;
  const auto recent = ReadRecentHistory(config.events.history, std::nullopt, kRecordsSearched);
  const auto measures = BatteryMeasures(recent);
  const double needs = BatteryNeeds(config, ShutdownTimes(recent));
  if (!measures.empty() && measures.back().secondsToLow < needs) {
    checks.warnings.push_back("the battery last ran low after " +
                              std::to_string(static_cast<long>(measures.back().secondsToLow)) +
                              " s on battery, but the shutdown plan needs " +
                              std::to_string(static_cast<long>(needs)) +
                              " s (its latest stage, the slowest machine's shutdown and " +
                              std::to_string(static_cast<long>(kBatteryMarginSeconds)) +
                              " s to spare): let the stages go earlier, or replace the battery");
  }
}

}  // namespace corvale::host::plan
