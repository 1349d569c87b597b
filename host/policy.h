// When to shut the host down: on the UPS's state, not on a change of it, so that a service
// started while the battery is already low acts at once.
#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "host/supervisor.h"

namespace corvale::host {

class ShutdownPolicy {
 public:
  // `onBatteryLimit` zero: only a low battery (or a UPS lost while on battery) shuts down.
  explicit ShutdownPolicy(std::chrono::seconds onBatteryLimit) : onBatteryLimit_(onBatteryLimit) {}

  // Why the host must shut down now; given once, never again (until Reset), whatever the UPS
  // does afterwards.
  std::optional<std::string> Decide(const Observation& observation);
  // The shutdown was abandoned: decide afresh.
  void Reset() { decided_ = false; }
  // A reloaded configuration's limit; time already on battery counts towards it.
  void SetOnBatteryLimit(std::chrono::seconds limit) { onBatteryLimit_ = limit; }

 private:
  std::chrono::seconds onBatteryLimit_;
  std::optional<Clock::time_point> onBatterySince_;
  bool decided_ = false;
};

}  // namespace corvale::host
