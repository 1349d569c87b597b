#include "host/policy.h"

namespace corvale::host {

std::optional<std::string> ShutdownPolicy::Decide(const Observation& observation) {
  if (decided_) return std::nullopt;
  const bool onBattery = observation.state == 2 || observation.state == 4;
  if (!onBattery) {
    onBatterySince_.reset();
    return std::nullopt;
  }
  if (!onBatterySince_) onBatterySince_ = observation.when;
  std::optional<std::string> reason;
  if (observation.linkLost) {
    // Nobody can tell how much battery is left: treat it as low.
    reason = "communication with the UPS is lost while it runs on battery";
  } else if (observation.state == 4) {
    reason = "the UPS's battery is low";
  } else if (onBatteryLimit_.count() > 0 &&
             observation.when - *onBatterySince_ >= onBatteryLimit_) {
    reason = "the UPS has run on battery for " + std::to_string(onBatteryLimit_.count()) + " s";
  }
  decided_ = reason.has_value();
  return reason;
}

}  // namespace corvale::host
